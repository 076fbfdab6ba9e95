#!/usr/bin/env python3
"""A Python host through zrregdll doing what host.c and host.cpp do: records a window's place, reads the
product's facts, lists keys. Usage: host.py REGISTRY_FILE"""
import sys

import zrregdll

try:
    with zrregdll.load(sys.argv[1]) as reg:
        window = reg.create(r"HKCU\Software\MORVANE\Ardo\1.0\Window")
        window["Left"], window["Title"] = -1920, "Ardo Studio"
        product = reg.key(r"HKLM\Software\MORVANE\Ardo\1.0")
        print("%s, %d seats" % (product.get_str("ProductName", "?"), product.get_int("Seats", 1)))
        for name, data in window.values():
            print("  %s = %s" % (name, zrregdll.as_signed(data)))  # as host.c prints it
        for name in product.key("Components").subkeys():
            print("  " + name)
except zrregdll.Error as e:
    sys.exit("host.py: %s" % e)
