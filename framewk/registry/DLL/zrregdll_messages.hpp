// zrregdll_messages.hpp: the library's messages in the C++ face: their kinds, the process's handler, and what
// a load through the face heard.
// A part of zrregdll.hpp, installed beside it: hosts include zrregdll.hpp.
#ifndef ZRREGDLL_MESSAGES_HPP
#define ZRREGDLL_MESSAGES_HPP

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "zrregdll.h"

namespace zrreg {

// A message of the library: its kind, the line of the registry file it is about (0 for none) and its
// text as the library prints it, without the line feed; the text lives as long as the handler's call.
enum class message_kind : std::uint32_t {
    syntax = ZRREG_MSG_SYNTAX,      // a fault of the file being loaded; the load goes on or is refused
    too_long = ZRREG_MSG_TOO_LONG,  // a token over the scanner's limit: the load is refused
    save = ZRREG_MSG_SAVE,          // an unload or flush could not write the file: where the changes went
    sharing = ZRREG_MSG_SHARING,    // the change log's notes; nothing failed
};
struct message {
    message_kind kind;
    std::uint32_t line;
    std::string_view text;
};
using message_handler = std::function<void(const message&)>;

namespace detail {

// The handler the face has given the library, whose context it is; null until the first.
struct face_messages {
    std::mutex lock;
    message_handler* current = nullptr;
};
inline face_messages& messages() {
    static face_messages m;
    return m;
}

// What this thread's load through the face heard of last: the message that refused it, if any.
struct load_note {
    bool heard = false;
    std::string why;
};
inline thread_local load_note* t_load = nullptr;

inline void ZRREG_CALL deliver(void* context, std::uint32_t kind, std::uint32_t line,
                               const char* text) noexcept {
    try {
        if (t_load && (kind == ZRREG_MSG_SYNTAX || kind == ZRREG_MSG_TOO_LONG)) {
            t_load->heard = true;
            t_load->why = kind == ZRREG_MSG_TOO_LONG ? "line " + std::to_string(line) + ": " + text : text;
        }
        const message_handler& h = *static_cast<const message_handler*>(context);
        if (h) {
            h(message{static_cast<message_kind>(kind), line, text});
        } else {
            std::fputs(text, stdout);
            std::fputc('\n', stdout);
        }
    } catch (...) {  // nothing may unwind through the library
    }
}

// The library calls the old handler no more once ZrSetMessageHandler has returned: it may go then.
inline void set_handler(message_handler h, bool unless_set) {
    face_messages& m = messages();
    std::lock_guard<std::mutex> hold(m.lock);
    if (unless_set && m.current) return;
    message_handler* fresh = new message_handler(std::move(h));
    ZrSetMessageHandler(&deliver, fresh);
    delete std::exchange(m.current, fresh);
}

}  // namespace detail

// Sends the library's messages to `h` from now on, for the whole process (an empty one: printed on
// standard output, as the library prints them). `h` is called on the thread of the call that has
// something to say, while the library holds its lock: it must not call the library or this function;
// what it throws is dropped.
inline void set_message_handler(message_handler h) { detail::set_handler(std::move(h), false); }

}  // namespace zrreg

#endif
