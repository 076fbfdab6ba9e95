#!/usr/bin/env python3
"""zrreg serve over plain HTTP: who gets in (token, Host, Origin, method, body size, bad
JSON), the JSON interface in the verbs' words, paging, read-only, live events from another
process, clients that hold connections, and a clean end on SIGTERM.
Usage: serve_http.py ZRREG SOURCE_DIR"""
import json
import os
import select
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serveutil import Served, check, wait_for  # noqa: E402

zrreg, src = sys.argv[1], sys.argv[2]
sample = os.path.join(src, "examples", "ardo-registry.txt")
ARDO = "HKEY_CURRENT_USER\\Software\\MORVANE\\Ardo\\1.0"
SLASHES = os.path.join(src, "tests", "tools", "data", "slashes.txt")


def security(s):
    before = open(s.file, "rb").read()
    st, h, body = s.request("GET", "/api/key?path=", token=False)
    check(st == 401 and b"keys" not in body, "no token: 401 and no data")
    st, h, body = s.request("GET", "/api/key?path=", token=False, headers={"Authorization": "Bearer " + "0" * 32})
    check(st == 401 and b"keys" not in body, "a wrong token: 401")
    st, h, body = s.request("GET", "/?token=" + "1" * 32, token=False)
    check(st == 401, "the address with a wrong token: 401")
    st, h, body = s.request("GET", "/api/events", token=False)
    check(st == 401, "events without the token: 401")
    for scheme in ("bearer", "BEARER", "Bearer  "):
        st, h, body = s.request("GET", "/api/info", token=False, headers={"Authorization": scheme + " " + s.token})
        check(st == 200, "the scheme %r is taken in any case, blanks after it too" % scheme)
    for auth in ("Bearer" + s.token, "Basic " + s.token, "Bearer " + s.token[:-1], "Bearer " + s.token + "0"):
        st, h, body = s.request("GET", "/api/info", token=False, headers={"Authorization": auth})
        check(st == 401, "Authorization %r: 401" % auth[:12])
    # No cookie carries the token: cookies go to every port of 127.0.0.1.
    st, h, body = s.request("GET", "/?token=" + s.token, token=False)
    check(st == 200 and b"<html" in body and "Set-Cookie" not in h, "the address answers the page and sets no cookie")
    for cookie in ("zrreg_token_%d=%s" % (s.port, s.token), "zrreg_token=" + s.token, "token=" + s.token):
        st, h, body = s.request("POST", "/api/set", {"path": ARDO, "name": "X", "data": "y"}, token=False,
                                headers={"Cookie": cookie})
        check(st == 401, "a cookie with the token opens nothing: %s" % cookie.split("=")[0])
    st, h, body = s.request("GET", "/", token=False)
    csp = h.get("Content-Security-Policy", "")
    check(st == 200 and b"<html" in body and "default-src 'none'" in csp and "script-src 'self'" in csp,
          "the page's own files load without the token, with a Content-Security-Policy of its own files only")
    check(b"http:" not in body.replace(b"http://127.0.0.1", b"") and b"https:" not in body,
          "the page loads nothing from elsewhere")
    st, h, body = s.request("GET", "/app.js?token=" + s.token, token=False)
    check(st == 200 and "Set-Cookie" not in h, "and its script")
    st, h, body = s.request("HEAD", "/", token=False)
    check(st in (401, 405), "no other method gets the page without the token (%d)" % st)
    for host in ("evil.example:%d" % s.port, "localhost:%d" % s.port, "127.0.0.1", "127.0.0.1:1"):
        st, h, body = s.request("GET", "/api/key?path=", host=host)
        check(st == 403 and b"keys" not in body, "Host %s: 403" % host)
    # The server's own origin is matched whole: neither a prefix of it (a shorter port) nor
    # an origin that begins with it passes.
    port = str(s.port)
    for origin in ("http://evil.example", "null", "http://127.0.0.1", "http://127.0.0.1:" + port[:-1],
                   "http://127.0.0.1:" + port + "0", "http://127.0.0.1:" + port + ".evil",
                   "http://127.0.0.1:" + port + "/", "https://127.0.0.1:" + port):
        st, h, body = s.request("POST", "/api/set", {"path": ARDO, "name": "X", "data": "y"},
                                headers={"Origin": origin})
        check(st == 403, "a change from Origin %r: 403" % origin)
    st, h, body = s.request("GET", "/api/set?path=HKCU&name=X&data=y")
    check(st == 405, "a GET that tries to change: 405")
    st, h, body = s.request("GET", "/api/delete?path=HKCU%5CSoftware")
    check(st == 405, "a GET that tries to delete: 405")
    st, h, body = s.request("PUT", "/api/set", {"path": ARDO, "name": "X", "data": "y"})
    check(st in (403, 404, 405), "a PUT is refused")
    big = b"Windows Registry Editor Version 5.00\r\n" + b";" * (17 * 1024 * 1024)
    st, h, body = s.request("POST", "/api/import?dry_run=0", big, headers={"Content-Type": "text/plain"})
    check(st in (0, 413), "an oversized body is refused (%d)" % st)
    for garbage in ("{", "not json", "[1, 2]", "\"text\"", ""):
        st, h, body = s.request("POST", "/api/set", garbage, headers={"Content-Type": "application/json"})
        check(st == 400 and "error" in json.loads(body), "garbage JSON %r: 400 with an error" % garbage)
    st, h, body = s.request("POST", "/api/set", {"path": ARDO, "name": 5, "data": "y"})
    check(st == 400, "a name that is no string: 400")
    check(open(s.file, "rb").read() == before and s.query(ARDO, "-v", "X") is None, "nothing changed")
    # A client that sends half a request and stops is dropped.
    c = socket.create_connection(("127.0.0.1", s.port))
    c.sendall(b"POST /api/set HTTP/1.1\r\nHost: " + s.host.encode() + b"\r\nAuthorization: Bearer " +
              s.token.encode() + b"\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{")
    c.settimeout(15)
    t0 = time.monotonic()
    try:
        got = c.recv(100)
    except OSError:
        got = b""
    took = time.monotonic() - t0
    check(3 < took < 12 and b"200 OK" not in got, "a slow client times out (%.1f s)" % took)
    c.close()


# Each type as /api/set takes it and query --json then shows it. A type the library does not
# store yet (it refuses with "cannot hold") is skipped, with a word.
TYPED = [
    ("Title", None, "Ardo \u00e9t\u00e9", "Ardo \u00e9t\u00e9"),
    ("Quote", "REG_SZ", 'say "\u4e2d\u6587"\nand \U0001F600', 'say "\u4e2d\u6587"\nand \U0001F600'),
    ("Path", "REG_EXPAND_SZ", "%APPDATA%\\Ardo", "%APPDATA%\\Ardo"),
    ("List", "REG_MULTI_SZ", ["one", "two \u00e9", ""], ["one", "two \u00e9", ""]),
    ("Lines", "REG_MULTI_SZ", "a\nb", ["a", "b"]),
    ("None", "REG_MULTI_SZ", [], []),
    ("Blob", "REG_BINARY", "00 ff,10", "00ff10"),
    ("Big", "REG_QWORD", "18446744073709551615", "18446744073709551615"),
    ("Exact", "REG_QWORD", 2 ** 53, 2 ** 53),
    ("Minus", "REG_QWORD", "-1", "18446744073709551615"),
    ("Endian", "REG_DWORD_BIG_ENDIAN", "0x01020304", 16909060),
    ("Nothing", "REG_NONE", "", ""),
    ("Odd", "REG_0x1a", "0102", "0102"),
]
REFUSED = [
    ("REG_DWORD", "12x", "not a 32-bit number"),
    ("REG_QWORD", "18446744073709551616", "not a 64-bit number"),
    ("REG_BINARY", "0g", "not hexadecimal bytes"),
    ("REG_BINARY", "abc", "odd number"),
    ("REG_TEXT", "1", "no value type"),
    ("REG_MULTI_SZ", ["a", 1], "list of strings"),
    ("REG_SZ", {"a": 1}, "must be a string"),
    ("REG_SZ", 5, "must be a string"),
    ("REG_BINARY", 5, "must be a string"),
]


def typed_values(s):
    for name, type_, sent, shown in TYPED:
        body = {"path": ARDO, "name": name, "data": sent}
        if type_:
            body["type"] = type_
        st, r = s.json("POST", "/api/set", body)
        if st == 400 and "cannot hold" in r["error"]:
            print("skip: the library does not store %s %r yet" % (type_, sent))
            continue
        q = s.query(ARDO, "-v", name)
        v = q["keys"][0]["values"][0] if q else {}
        check(st == 200 and v.get("type") == (type_ or "REG_SZ") and v.get("data") == shown and "bytes" not in v,
              "/api/set of %s %r: query --json shows %r" % (type_ or "a string", sent, shown))
    for type_, sent, why in REFUSED:
        st, r = s.json("POST", "/api/set", {"path": ARDO, "name": "Bad", "type": type_, "data": sent})
        check(st == 400 and why in r["error"] and s.value(ARDO, "Bad") is None,
              "%s %r: 400, %s, nothing changed" % (type_, sent, why))
    st, r = s.json("POST", "/api/set", {"path": ARDO, "name": 'a "b"', "data": "x"})
    check(st == 400 and "double quote" in r["error"], "a name the file cannot hold: 400 in zrreg's words")


def interface(s):
    st, r = s.json("GET", "/api/key?path=" + "HKCU%5CSoftware%5CMORVANE%5CArdo%5C1.0&from=1&count=2")
    k = r["keys"][0]
    check(st == 200 and k["path"] == ARDO and k["subkeyCount"] == 10 and k["from"] == 1 and
          len(k["subkeys"]) == 2 and k["subkeys"][0] == ARDO + "\\Window" and
          {"name": "RunCount", "type": "REG_DWORD", "data": 187} in k["values"],
          "/api/key: values and a page of subkeys with their total, in query --json's form")
    st, r = s.json("GET", "/api/key?path=HKCU%5CNope")
    check(st == 404 and r["error"].endswith('key "HKEY_CURRENT_USER\\Nope": the key does not exist'),
          "a key that does not exist: 404 in zrreg's words")
    st, r = s.json("GET", "/api/find?path=&text=ingrid%20hallberg")
    check(st == 200 and r["matches"] == 1 and r["keys"][0]["path"] == ARDO, "/api/find as query -f")
    q = subprocess.run([zrreg, "query", s.file, "-s", "-f", "0x19C", "-d", "--json"], capture_output=True, text=True)
    st, r = s.json("GET", "/api/find?path=&text=0x19C&d=1&s=1")
    check(st == 200 and r == json.loads(q.stdout), "/api/find answers what zrreg query -s -f -d --json prints")
    st, r = s.json("POST", "/api/set", {"path": ARDO, "name": "Zoom", "type": "REG_DWORD", "data": "0x7d"},
                   headers={"Origin": "http://" + s.host})
    check(st == 200 and s.value(ARDO, "Zoom") == 125, "/api/set of a dword, with the server's own Origin")
    st, r = s.json("POST", "/api/set", {"path": ARDO, "name": "Zoom", "type": "REG_DWORD", "data": -1})
    check(st == 200 and s.value(ARDO, "Zoom") == -1, "/api/set of a dword as a JSON number")
    typed_values(s)
    st, r = s.json("POST", "/api/set", {"path": "HKCU\\Nope", "name": "N", "data": "1"})
    check(st == 404, "a value of a key that does not exist: 404")
    st, r = s.json("POST", "/api/create", {"path": ARDO + "\\Plugins\\Grid"})
    check(st == 200 and s.query(ARDO + "\\Plugins\\Grid") is not None, "/api/create with the missing levels")
    st, r = s.json("POST", "/api/create", {"path": "Nowhere\\Key"})
    check(st == 400 and "not a root of this registry" in r["error"], "/api/create outside the roots: 400")
    st, r = s.json("POST", "/api/delete", {"path": ARDO, "name": "Zoom"})
    check(st == 200 and s.value(ARDO, "Zoom") is None, "/api/delete of a value")
    st, r = s.json("POST", "/api/delete", {"path": ARDO, "name": "Zoom"})
    check(st == 404 and r["error"].endswith("the value does not exist"), "deleting it again: 404")
    st, r = s.json("POST", "/api/delete", {"path": ARDO + "\\Plugins"})
    check(st == 200 and s.query(ARDO + "\\Plugins") is None, "/api/delete of a key with its subtree")
    st, r = s.json("POST", "/api/delete", {"path": "HKEY_CURRENT_USER"})
    check(st == 400 and "only with --force" in r["error"], "a whole top-level key is not deleted")
    reg = open(os.path.join(src, "examples", "from-windows.reg"), "rb").read()
    whole = s.query("-s")
    st, r = s.json("POST", "/api/import?dry_run=1", reg, headers={"Content-Type": "text/plain"})
    inst = [c for c in r["changes"] if c.get("name") == "InstallDir"][0]
    check(st == 200 and r["dryRun"] and any('"Build"' in x for x in r["skipped"]) and inst["before"] == inst["after"] and
          s.query("-s") == whole,
          "/api/import?dry_run=1: the changes with values before and after, the skipped lines; nothing written")
    dry = subprocess.run([zrreg, "import", s.file, os.path.join(src, "examples", "from-windows.reg"), "--dry-run"],
                         capture_output=True, text=True)
    check([c["text"] for c in r["changes"]] == dry.stdout.splitlines()[:-1],
          "the preview's changes are zrreg import --dry-run's")
    st, r = s.json("POST", "/api/import?dry_run=0", reg, headers={"Content-Type": "text/plain"})
    check(st == 200 and s.value(ARDO + "\\RecentFiles", "File1").startswith("D:") and
          s.query("-s") != whole, "/api/import?dry_run=0 applies it")
    st, r = s.json("POST", "/api/import?dry_run=1", "not a reg file\n", headers={"Content-Type": "text/plain"})
    check(st == 400 and "nothing imported" in r["error"], "a file that is no export file: 400")
    whole = s.query("-s")
    bad = 'Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Made]\n"v"="1"\nnot a line\n'
    st, r = s.json("POST", "/api/import?dry_run=0&strict=1", bad, headers={"Content-Type": "text/plain"})
    check(st == 400 and "nothing imported" in r["error"] and s.query("-s") == whole,
          "an import that fails half way (--strict) changes nothing")
    st, h, body = s.request("GET", "/api/export?path=" + "HKCU%5CSoftware%5CMORVANE")
    check(st == 200 and body.startswith(b"Windows Registry Editor Version 5.00") and b"Ingrid Hallberg" in body,
          "/api/export: the .reg file")
    # A key of 1,200 subkeys, served a page at a time.
    lines = ["Windows Registry Editor Version 5.00", ""]
    lines += ["[HKEY_CURRENT_USER\\Big\\k%04d]" % i for i in range(1200)]
    st, r = s.json("POST", "/api/import?dry_run=0", "\n".join(lines), headers={"Content-Type": "text/plain"})
    st, r = s.json("GET", "/api/key?path=HKCU%5CBig&from=1000&count=500")
    k = r["keys"][0]
    check(st == 200 and k["subkeyCount"] == 1200 and len(k["subkeys"]) == 200 and
          k["subkeys"][0].endswith("k1000"), "a big key is served in pages")
    st, r = s.json("GET", "/api/key?path=HKCU%5CBig&count=100000")
    check(len(r["keys"][0]["subkeys"]) <= 5000, "never more than one page")
    st, r = s.json("GET", "/api/key?path=HKCU%5CBig&count=0&child=K0777")
    check(r["index"] == 777, "where a subkey stands among its siblings")


def live(s):
    """Another process's change reaches the events within a second."""
    c = socket.create_connection(("127.0.0.1", s.port))
    c.sendall(("GET /api/events HTTP/1.1\r\nHost: %s\r\nAuthorization: Bearer %s\r\n\r\n" % (s.host, s.token)).encode())
    c.settimeout(5)
    got = []
    data = b""
    while b"data: " not in data:
        data += c.recv(4096)
    def reader():
        buf = b""
        try:
            while True:
                chunk = c.recv(4096)
                if not chunk:
                    return
                buf += chunk
                if b"data: " in buf:
                    got.append(time.monotonic())
                    return
        except OSError:
            return
    t = threading.Thread(target=reader)
    t.start()
    t0 = time.monotonic()
    subprocess.run([zrreg, "add", s.file, ARDO, "-v", "FromElsewhere", "-d", "yes"], check=True)
    t.join(5)
    c.close()
    check(got and got[0] - t0 < 1.0, "another process's change is an event within a second (%.3f s)" %
          ((got[0] - t0) if got else -1))
    st, r = s.json("GET", "/api/key?path=" + "HKCU%5CSoftware%5CMORVANE%5CArdo%5C1.0&count=0")
    check({"name": "FromElsewhere", "type": "REG_SZ", "data": "yes"} in r["keys"][0]["values"],
          "and the server shows it")


def crowd(s):
    """Clients that hold connections do not hold up the others: requests sent a byte at a
    time (header or body), connections kept open idle, event streams beyond the cap. Each
    is dropped 5 s after it began, however often it sends a byte, and a request with the
    token is answered meanwhile."""
    def opened(first):
        c = socket.create_connection(("127.0.0.1", s.port))
        c.sendall(first)
        return c
    ask = "GET /api/info HTTP/1.1\r\nHost: %s\r\nAuthorization: Bearer %s\r\n" % (s.host, s.token)
    kinds = {  # kind: (what it sends first, the byte it then sends each second, or None)
        "a header sent a byte at a time": (b"GET / HTTP/1.1\r\nX-Slow: ", b"a"),
        "a body sent a byte at a time": (("POST /api/set HTTP/1.1\r\nHost: %s\r\nAuthorization: Bearer %s\r\n"
                                          "Content-Type: application/json\r\nContent-Length: 100000\r\n\r\n" %
                                          (s.host, s.token)).encode(), b" "),
        "an idle connection after its answer": ((ask + "\r\n").encode(), None),
    }
    names = list(kinds)
    slow = []  # [kind, socket, started, dropped after, last byte sent]
    for i in range(50):
        kind = names[i % len(names)]
        slow.append([kind, opened(kinds[kind][0]), time.monotonic(), None, time.monotonic()])
    streams = [opened((ask.replace("/api/info", "/api/events") + "\r\n").encode()) for i in range(50)]
    status = []
    end = time.monotonic() + 10
    for c in streams:
        c.settimeout(max(0.1, end - time.monotonic()))
        try:
            status.append(c.recv(4096).split(b" ")[1])
        except (OSError, IndexError):
            status.append(b"")
    # (The stream of live() may not have been seen to close yet.)
    check(status.count(b"200") in (31, 32) and status.count(b"503") == 50 - status.count(b"200"),
          "50 event streams: 32 at most open, the others 503 (%d, %d)" % (status.count(b"200"), status.count(b"503")))
    for i in range(3):
        t0 = time.monotonic()
        st, h, body = s.request("GET", "/api/key?path=HKCU&count=0", timeout=10)
        took = time.monotonic() - t0
        check(st == 200 and took < 1.0, "with 50 slow clients and 50 event streams, a request is answered (%.3f s)" % took)
    for entry in slow:
        entry[1].setblocking(False)
    end = time.monotonic() + 15
    while time.monotonic() < end and any(e[3] is None for e in slow):
        time.sleep(0.1)
        for e in slow:
            kind, c, started, dropped, sent = e
            if dropped is not None:
                continue
            try:
                gone = c.recv(65536) == b""
            except BlockingIOError:
                gone = False
            except OSError:
                gone = True
            if not gone and kinds[kind][1] and time.monotonic() - sent > 1:
                e[4] = time.monotonic()
                try:
                    c.send(kinds[kind][1])
                except BlockingIOError:
                    pass
                except OSError:
                    gone = True
            if gone:
                e[3] = time.monotonic() - started
    for kind in kinds:
        times = [e[3] for e in slow if e[0] == kind]
        check(all(t is not None and t < 10 for t in times),
              "%s is dropped within 10 s (the last after %s s)" %
              (kind, "%.1f" % max(times) if None not in times else "more than 15"))
    for c in streams + [e[1] for e in slow]:
        c.close()

    def stream():
        """An event stream and its status."""
        c = opened((ask.replace("/api/info", "/api/events") + "\r\n").encode())
        c.settimeout(10)
        return c, c.recv(4096)[9:12]
    held = []
    end = time.monotonic() + 5
    while len(held) < 32 and time.monotonic() < end:
        c, st = stream()
        if st == b"200":
            held.append(c)
        else:
            c.close()
            time.sleep(0.1)
    c, st = stream()
    check(len(held) == 32 and st == b"503", "the streams' places are free again once they are closed")
    for c in held + [c]:
        c.close()


def too_many(s):
    """Connections beyond those served and those waiting for a thread are refused at once."""
    cs = [socket.create_connection(("127.0.0.1", s.port)) for i in range(300)]
    wait_for(lambda: len(select.select(cs, [], [], 0)[0]) >= 300 - 256, 10)
    time.sleep(0.2)
    refused = sum(b" 503 " in c.recv(4096) for c in select.select(cs, [], [], 0)[0])
    # (Some of the threads may still be ending the streams that crowd() opened.)
    check(300 - 256 <= refused < 300 - 128,
          "300 silent connections: those beyond 128 served and 128 waiting get 503 at once (%d)" % refused)
    for c in cs:
        c.close()
    check(wait_for(lambda: s.request("GET", "/api/info", timeout=5)[0] == 200, 10), "and then the server answers")


def slash_names():
    """slashes.txt has a key named a/b and the key b below a, in HKCU in that order and in
    HKLM the other way round: each request reaches the key its path names, shows its path
    as zrreg does, and changes only that key, or nothing where the library would reach
    another."""
    s = Served(zrreg, SLASHES)
    try:
        # path, the data of its value v, whether the library reaches the key for a change
        keys = [("HKCU\\a\\b", "a then b", False), ('HKCU\\"a/b"', "named a/b", True),
                ("HKLM\\a\\b", "a then b", True), ('HKLM\\"a/b"', "named a/b", False),
                ('HKCU\\""', "empty", True), ('HKCU\\"c\\d"', "backslash", False),
                ("HKCU\\a\\b\\c\\deep", "a then b then c then deep", True)]
        full = lambda p: p.replace("HKCU", "HKEY_CURRENT_USER").replace("HKLM", "HKEY_LOCAL_MACHINE")
        url = lambda p: urllib.parse.quote(p, safe="")
        for path, data, reached in keys:
            st, r = s.json("GET", "/api/key?path=" + url(path))
            k = r["keys"][0] if st == 200 else {}
            check(k.get("path") == full(path) and k["values"] == [{"name": "v", "type": "REG_SZ", "data": data}],
                  "/api/key %s: that key, its path as shown" % path)
            st, r = s.json("POST", "/api/set", {"path": path, "name": "v", "data": "set"})
            now = [s.value(p, "v") for p, _, _ in keys]
            want = ["set" if p == path and reached else d for p, d, _ in keys]
            check(st == (200 if reached else 400) and now == want,
                  "/api/set %s: %s" % (path, "that key only" if reached else "refused, nothing changed"))
            if reached:
                s.json("POST", "/api/set", {"path": path, "name": "v", "data": data})
        st, r = s.json("GET", "/api/key?path=HKCU&count=0&child=" + url('"a/b"'))
        _, r2 = s.json("GET", "/api/key?path=HKCU&count=10&child=a")
        check(r["index"] == 0 and r2["index"] == 1 and r2["keys"][0]["subkeys"] ==
              [full(p) for p in ('HKCU\\"a/b"', "HKCU\\a", 'HKCU\\""', 'HKCU\\"c\\d"')],
              "child= takes a subkey as the paths show it")
        st, r = s.json("GET", "/api/find?path=&text=named")
        check([k["path"] for k in r["keys"]] == [full('HKCU\\"a/b"'), full('HKLM\\"a/b"')], "/api/find's paths")
        st, h, body = s.request("GET", "/api/export?path=HKCU")
        check(b'[HKEY_CURRENT_USER\\"a/b"]\n"v"="named a/b"' in body, "/api/export writes the quoted name")
        for path, status in (('HKCU\\"a/b"\\new', 200), ('HKLM\\"a/b"\\new', 400), ('HKCU\\"x/y"', 400)):
            st, r = s.json("POST", "/api/create", {"path": path})
            check(st == status and (s.query(path) is not None) == (status == 200),
                  "/api/create %s: %d" % (path, status))
        st, r = s.json("POST", "/api/delete", {"path": "HKCU\\a\\b", "name": "v"})
        check(st == 400 and s.value("HKCU\\a\\b", "v") == "a then b", "/api/delete of a value it cannot reach: 400")
        st, r = s.json("POST", "/api/delete", {"path": 'HKLM\\"a/b"'})
        check(st == 200 and s.query('HKLM\\"a/b"') is None and s.value("HKLM\\a\\b", "v") == "a then b",
              "/api/delete of the key a/b leaves a\\b")
        reg = ('Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\"a/b"]\n"w"="x"\n'
               '[HKEY_CURRENT_USER\\"x/y"]\n[HKEY_CURRENT_USER\\a\\b]\n"w"="x"\n'
               '[HKEY_CURRENT_USER\\a\\b\\c\\deep]\n"w"="x"\n')
        st, r = s.json("POST", "/api/import?dry_run=1", reg, headers={"Content-Type": "text/plain"})
        check(st == 200 and [c["path"] for c in r["changes"]] == [full('HKCU\\"a/b"'), full("HKCU\\a\\b\\c\\deep")] and
              len(r["skipped"]) == 2,
              "the import's preview: the paths as shown; a key the library cannot create or reach is skipped, "
              "a key it reaches by its whole path is not")
        with open(os.path.join(s.dir, "in.reg"), "w") as f:
            f.write(reg)
        dry = subprocess.run([zrreg, "import", s.file, os.path.join(s.dir, "in.reg"), "--dry-run"],
                             capture_output=True, text=True)
        lines = lambda msgs: [m[m.index(": line ") + 2:] for m in msgs]
        check([c["text"] for c in r["changes"]] == dry.stdout.splitlines()[:-1] and
              lines(r["skipped"]) == lines(dry.stderr.splitlines()),
              "the preview's changes and skipped sections are zrreg import --dry-run's")
        # A key deleted and made again, a value set and deleted, names that differ in case:
        # the preview is the import itself on a copy, and the tree stays as it was.
        whole = s.query("-s")
        reg = ('Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\p\\q]\n"w"="1"\n[-HKEY_CURRENT_USER\\p]\n'
               '[HKEY_CURRENT_USER\\P\\Q]\n"w"="again"\n"w"=-\n"W"="case"\n[HKEY_CURRENT_USER\\P\\Q\\R]\n@="deep"\n'
               '[-HKEY_CURRENT_USER\\p\\q\\r]\n[HKEY_CURRENT_USER\\p\\Q\\r]\n"x"=dword:00000001\n')
        st, r = s.json("POST", "/api/import?dry_run=1", reg, headers={"Content-Type": "text/plain"})
        with open(os.path.join(s.dir, "in.reg"), "w") as f:
            f.write(reg)
        dry = subprocess.run([zrreg, "import", s.file, os.path.join(s.dir, "in.reg"), "--dry-run"],
                             capture_output=True, text=True)
        check(st == 200 and [c["text"] for c in r["changes"]] == dry.stdout.splitlines()[:-1] and
              r["summary"].split(": ", 1)[1] == dry.stdout.splitlines()[-1].split(": ", 1)[1] and
              len(r["changes"]) == 14 and s.query("-s") == whole,
              "a preview that deletes and makes keys again is the dry run's, and changes nothing")
    finally:
        s.stop()
        s.cleanup()


def renames():
    """POST /api/rename: a key or a value in its place, seen by another process at once; a name
    that is taken 409, a missing one 404, a bad one 400; --read-only 409."""
    s = Served(zrreg, sample)
    try:
        subkeys = s.query(ARDO)["keys"][0]["subkeys"]
        st, r = s.json("POST", "/api/rename", {"path": ARDO + "\\Window", "newName": "Frame"})
        check(st == 200 and s.query(ARDO)["keys"][0]["subkeys"] ==
              [k.replace("\\Window", "\\Frame") for k in subkeys], "/api/rename of a key, in its place")
        names = [v["name"] for v in s.query(ARDO)["keys"][0]["values"]]
        st, r = s.json("POST", "/api/rename", {"path": ARDO, "name": "runcount", "newName": "Runs"})
        check(st == 200 and [v["name"] for v in s.query(ARDO)["keys"][0]["values"]] ==
              [n if n != "RunCount" else "Runs" for n in names] and s.value(ARDO, "Runs") == 187,
              "/api/rename of a value keeps its data and place")
        st, r = s.json("POST", "/api/rename", {"path": ARDO + "\\Frame", "newName": "panels"})
        check(st == 409 and "is taken" in r["error"], "a key's name that is taken: 409")
        st, r = s.json("POST", "/api/rename", {"path": ARDO, "name": "Runs", "newName": "UserName"})
        check(st == 409 and s.value(ARDO, "Runs") == 187, "a value's name that is taken: 409, nothing changed")
        st, r = s.json("POST", "/api/rename", {"path": ARDO + "\\Nope", "newName": "X"})
        check(st == 404 and r["error"].endswith("the key does not exist"), "a missing key: 404")
        st, r = s.json("POST", "/api/rename", {"path": ARDO, "name": "Nope", "newName": "X"})
        check(st == 404, "a missing value: 404")
        st, r = s.json("POST", "/api/rename", {"path": ARDO + "\\Frame", "newName": "a\\b"})
        check(st == 400 and s.query(ARDO + "\\Frame") is not None, "a key's new name with a backslash: 400")
        st, r = s.json("POST", "/api/rename", {"path": ARDO + "\\Frame"})
        check(st == 400 and '"newName" must be a string' in r["error"], "no newName: 400")
        st, r = s.json("POST", "/api/rename", {"path": "HKEY_CURRENT_USER", "newName": "Users"})
        check(st == 400 and "only with --force" in r["error"], "a whole top-level key is not renamed")
        st, h, body = s.request("GET", "/api/rename")
        check(st == 405, "GET /api/rename: 405")
        # A key of many subkeys, whose names the server keeps: renamed here and by another process.
        lines = ["Windows Registry Editor Version 5.00", ""] + ["[HKEY_CURRENT_USER\\Many\\k%02d]" % i for i in range(40)]
        s.json("POST", "/api/import?dry_run=0", "\n".join(lines), headers={"Content-Type": "text/plain"})
        st, r = s.json("GET", "/api/key?path=HKCU%5CMany%5Ck20")
        st, r = s.json("POST", "/api/rename", {"path": "HKCU\\Many\\k20", "newName": "twenty"})
        st, r = s.json("GET", "/api/key?path=HKCU%5CMany%5Ctwenty")
        check(st == 200, "a key renamed among many is found by its new name")
        r = subprocess.run([zrreg, "rename", s.file, "HKCU\\Many\\k21", "twenty-one"], capture_output=True, text=True)
        st, r = s.json("GET", "/api/key?path=HKCU%5CMany%5Ctwenty-one")
        check(st == 200, "and so is one that another process renamed")
        check(s.stop() == 0, "the server ends cleanly")
        check(s.query(ARDO + "\\Frame") is not None and s.value(ARDO, "Runs") == 187, "the renames are in the file")
    finally:
        s.cleanup()
    ro = Served(zrreg, sample, "--read-only")
    try:
        st, r = ro.json("POST", "/api/rename", {"path": ARDO + "\\Window", "newName": "Frame"})
        check(st == 409 and "read-only" in r["error"] and ro.query(ARDO + "\\Window") is not None,
              "--read-only: a rename gets 409")
    finally:
        ro.cleanup()


def main():
    s = Served(zrreg, sample)
    try:
        security(s)
        interface(s)
        live(s)
        crowd(s)
        too_many(s)
        st, r = s.json("POST", "/api/set", {"path": ARDO, "name": "Last", "data": "written"})
        rc = s.stop()
        check(rc == 0, "SIGTERM ends it with exit status 0" + ("" if rc == 0 else ": " + s.stderr[-3000:]))
        files = sorted(os.listdir(s.dir))
        check(files == ["app.txt"], "the registry is unloaded: only the file is left (%s)" % files)
        check(s.value(ARDO, "Last") == "written", "and it holds the last change")
    finally:
        s.cleanup()

    ro = Served(zrreg, sample, "--read-only")
    try:
        st, r = ro.json("POST", "/api/set", {"path": ARDO, "name": "X", "data": "y"})
        check(st == 409 and "read-only" in r["error"], "--read-only: a change gets 409")
        st, r = ro.json("POST", "/api/import?dry_run=1",
                        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n",
                        headers={"Content-Type": "text/plain"})
        check(st == 200 and r["changes"][0]["op"] == "create key", "--read-only: a preview is still given")
        before = open(ro.file, "rb").read()
        st, r = ro.json("POST", "/api/import?dry_run=0",
                        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n\"V\"=\"1\"\n",
                        headers={"Content-Type": "text/plain"})
        check(st == 409 and "read-only" in r["error"] and ro.query("HKCU\\A") is None,
              "--read-only: an import gets 409 and changes nothing")
        st, r = ro.json("GET", "/api/info")
        check(r["readOnly"] is True, "--read-only: the page is told")
        check(ro.stop() == 0, "--read-only ends cleanly")
        check(open(ro.file, "rb").read() == before, "--read-only: the file is as it was")
    finally:
        ro.cleanup()

    slash_names()
    renames()
    bad = os.path.join(os.path.dirname(sample), "..", "tests", "tools", "data")
    d = subprocess.run([zrreg, "serve", os.path.join(src, "README.md")], capture_output=True, text=True, timeout=20)
    check(d.returncode == 1 and d.stdout == "" and "not a valid registry file" in d.stderr,
          "a file that does not load is refused before anything listens")
    print("serve_http.py: all passed")


main()
