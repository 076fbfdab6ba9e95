// zrregdll.hpp: the C++17 face of zrregdll.h: a loaded registry, keys that close themselves, UTF-8 text.
//
// Everything here is inline over the exported functions of zrregdll.h; linking zrregdll is all a host
// needs. Text is UTF-8 on this side, converted as zrreg converts its arguments: valid UTF-8 is decoded,
// and a text that is not valid UTF-8 is taken byte for byte. A value's text may hold any character; a
// name holds characters up to U+00FF, and one above is refused with errc::bad_name before the library is
// called. Every value type has its typed get and set (text, integer, bytes, list of texts).
//
// Each operation comes in two forms: one that stores a failure in a std::error_code and one that throws
// zrreg::error (a std::system_error whose message names the operation, the name and the reason). The
// optional reads are empty, in the throwing form too, when the value does not exist or has another type.
// A registry is loaded once per process, as the library allows; keys close themselves when they go, and
// the registry object unloads when it goes: let the keys go first.
//
// The face sets the library's message handler (ZrSetMessageHandler) at its first load: the library's
// messages go to the handler given to zrreg::set_message_handler, or are printed on standard output as
// the library prints them, and a token over the scanner's length limit is a refused load
// (load_errc::refused) instead of the end of the process.
#ifndef ZRREGDLL_HPP
#define ZRREGDLL_HPP

// Before any include, so that this is the first thing an older compiler says.
#if __cplusplus < 201703L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 201703L)
// The CMake target zrregdll::zrregdll asks for C++17 itself.
#error "zrregdll.hpp needs C++17 or later: compile with -std=c++17"
#endif

// The parts, installed beside this header, each including those it builds on.
#include "zrregdll.h"
#include "zrregdll_errors.hpp"
#include "zrregdll_key.hpp"
#include "zrregdll_messages.hpp"
#include "zrregdll_ranges.hpp"
#include "zrregdll_registry.hpp"
#include "zrregdll_text.hpp"
#include "zrregdll_values.hpp"

#endif
