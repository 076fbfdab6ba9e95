#!/usr/bin/env bash
# The C++ face under a standard before C++17: the compile fails, and says first why; under C++17 it
# compiles without a warning.
# Usage: check_cxx17.sh CXX INCLUDE_DIR
set -uo pipefail
cxx=$1 include=$2
sentence='zrregdll.hpp needs C++17 or later: compile with -std=c++17'
out=$(echo '#include "zrregdll.hpp"' | "$cxx" -std=c++14 -fsyntax-only -x c++ -I"$include" - 2>&1)
rc=$?
[ $rc -ne 0 ] || { echo "check_cxx17.sh: the face compiled as C++14"; exit 1; }
first=$(grep -m1 'error' <<<"$out")
[[ $first == *"$sentence"* ]] || { printf 'check_cxx17.sh: the first error is not the sentence:\n%s\n' "$out"; exit 1; }
echo '#include "zrregdll.hpp"' | "$cxx" -std=c++17 -Wall -Wextra -Werror -fsyntax-only -x c++ -I"$include" - ||
    { echo "check_cxx17.sh: the face does not compile as C++17"; exit 1; }
echo "check_cxx17.sh: C++14 is refused with the sentence, C++17 compiles"
