# The Python module zrregdll: its installation into the prefix's Python directory, beside a record of
# where the library lies from there, and its tests with pytest against the library of this build.
include(GNUInstallDirs)
# Debian's own Python first: a Python of another origin earlier on PATH lacks Debian's pytest.
find_program(ZR_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(ZR_PYTHON NAMES python3)
set(ZR_PYTHON_MINOR 11)
if(ZR_PYTHON)
  execute_process(COMMAND ${ZR_PYTHON} -c "import sys; print(sys.version_info[1])"
                  OUTPUT_VARIABLE ZR_PYTHON_MINOR OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
# Where the prefix's own Python reads modules: Debian's Python reads /usr/lib/python3/dist-packages
# and /usr/local/lib/python3.X/dist-packages; a prefix with a Python of its own (a virtual
# environment, say) is asked; any other prefix gets what a Python built for it would read. A prefix
# given only to cmake --install keeps the configured place (PYTHONPATH then names it; see the README).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(ZR_PYTHON_DIR_DEFAULT lib/python3/dist-packages)
elseif(EXISTS ${CMAKE_INSTALL_PREFIX}/bin/python3)
  execute_process(COMMAND ${CMAKE_INSTALL_PREFIX}/bin/python3 -c
                          "import os, sys, sysconfig; print(os.path.relpath(sysconfig.get_path('purelib'), sys.prefix))"
                  OUTPUT_VARIABLE ZR_PYTHON_DIR_DEFAULT OUTPUT_STRIP_TRAILING_WHITESPACE)
elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
  set(ZR_PYTHON_DIR_DEFAULT lib/python3.${ZR_PYTHON_MINOR}/dist-packages)
else()
  set(ZR_PYTHON_DIR_DEFAULT lib/python3.${ZR_PYTHON_MINOR}/site-packages)
endif()
set(ZR_PYTHON_DIR ${ZR_PYTHON_DIR_DEFAULT} CACHE STRING "Where the Python module goes, below the prefix")

set(ZR_PYTHON_SRC ${PROJECT_SOURCE_DIR}/python/zrregdll)
file(RELATIVE_PATH ZR_PYTHON_TO_LIB /p/${ZR_PYTHON_DIR}/zrregdll
     /p/${CMAKE_INSTALL_LIBDIR}/libzrregdll.so.${PROJECT_VERSION_MAJOR})
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/python/_where.py
     "\"\"\"Where cmake --install put the library, from this module's folder.\"\"\"\nLIBRARY = \"${ZR_PYTHON_TO_LIB}\"\n")
install(FILES ${ZR_PYTHON_SRC}/__init__.py ${ZR_PYTHON_SRC}/_data.py ${ZR_PYTHON_SRC}/_errors.py
              ${ZR_PYTHON_SRC}/_library.py ${ZR_PYTHON_SRC}/_key.py ${ZR_PYTHON_SRC}/_winhandle.py ${ZR_PYTHON_SRC}/winreg.py
              ${CMAKE_CURRENT_BINARY_DIR}/python/_where.py
        DESTINATION ${ZR_PYTHON_DIR}/zrregdll)

# The tests load this build's library into Debian's Python; a sanitizer build's needs the sanitizers'
# runtime loaded first, which the interpreter does not carry.
set(ZR_PYTHON_TESTS OFF)
if(ZR_BUILD_TESTS AND ZR_PYTHON AND NOT CMAKE_CROSSCOMPILING AND NOT ZR_TSAN)
  execute_process(COMMAND ${ZR_PYTHON} -c "import pytest" RESULT_VARIABLE ZR_NO_PYTEST OUTPUT_QUIET ERROR_QUIET)
  if(ZR_NO_PYTEST)
    message(STATUS "pytest not found for ${ZR_PYTHON}: the Python tests are skipped (install python3-pytest)")
  else()
    set(ZR_PYTHON_TESTS ON)
  endif()
endif()
set(ZR_PYTHON_TEST_ENV "PYTHONPATH=${PROJECT_SOURCE_DIR}/python;ZRREGDLL_LIBRARY=$<TARGET_FILE:zrregdll>;PYTHONDONTWRITEBYTECODE=1")
if(ZR_SANITIZE AND ZR_PYTHON_TESTS)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libclang_rt.asan-${CMAKE_SYSTEM_PROCESSOR}.so
                  OUTPUT_VARIABLE ZR_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND EXISTS "${ZR_ASAN_RUNTIME}")
    # The interpreter's own allocations are not this project's to answer for: no leak check.
    list(APPEND ZR_PYTHON_TEST_ENV LD_PRELOAD=${ZR_ASAN_RUNTIME} ASAN_OPTIONS=detect_leaks=0:abort_on_error=1)
  else()
    message(STATUS "no shared AddressSanitizer runtime for ${CMAKE_CXX_COMPILER}: the Python tests are skipped")
    set(ZR_PYTHON_TESTS OFF)
  endif()
endif()
if(ZR_PYTHON_TESTS)
  add_test(NAME python_module COMMAND ${ZR_PYTHON} -m pytest -q -p no:cacheprovider ${PROJECT_SOURCE_DIR}/tests/python)
  set_tests_properties(python_module PROPERTIES ENVIRONMENT "${ZR_PYTHON_TEST_ENV};ZR_VERSION=${PROJECT_VERSION}")
endif()
