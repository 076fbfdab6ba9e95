// The library's messages and the outcome of the last unload: one sink for every message
// about a registry file or its save (standard output, the project's hosts' sink or a host's
// handler), and one record of what the unload did.
#include <stdarg.h>
#include <string.h>

#include "regmsg.h"
#include "zrplat.h"

// Process-wide, as a host sets its sink or handler before it loads, and reads what the
// last unload did after it.
static struct {
    bool quiet;
    RegViewSink sink;
    void* context;
    // The host's handler (ZrSetMessageHandler): read and written under the tree lock alone,
    // which every call that has a message holds.
    ZrMessageHandler handler;
    void* handlerContext;
    RegViewSaveResult result;
    char keptIn[REGFILE_TEMP_MAX];
    char why[REGFILE_TEMP_MAX + 128];
} s_msg;

void RegQuiet(bool on) { s_msg.quiet = on; }

void RegViewSetSink(RegViewSink sink, void* context) {
    s_msg.sink = sink;
    s_msg.context = context;
}

// The thread is in the handler, holding that lock: a call from there sets it directly.
static thread_local bool t_inHandler;

void ZRREG_CALL ZrSetMessageHandler(ZrMessageHandler handler, void* context) {
    if (t_inHandler) {
        s_msg.handler = handler;
        s_msg.handlerContext = context;
        return;
    }
    ZrHeld held = zrTreeLockExclusive();
    s_msg.handler = handler;
    s_msg.handlerContext = context;
    zrTreeUnlock(held);
}

bool RegHostSink() { return s_msg.sink != nullptr || s_msg.handler != nullptr; }

// The library's own words, byte for byte as they have always been printed, without the
// line feed.
static void Words(const RegViewMessage& m, char* out, size_t n) {
    switch (m.kind) {
        case REGVIEW_MSG_PARSE:
            snprintf(out, n, "line: %d - %s", m.line, m.text);
            break;
        case REGVIEW_MSG_ERROR_IN_LINE:
            snprintf(out, n, "Error in line: %d", m.line);
            break;
        case REGVIEW_MSG_RUNAWAY:
            snprintf(out, n, "line %d - FATAL: Runaway string", m.line);
            break;
        case REGVIEW_MSG_END_OF_KEY:
        case REGVIEW_MSG_UNEXPECTED_VALUE:
            if (m.line) {
                snprintf(out, n, "line %d: %s", m.line, m.text);
            } else {
                snprintf(out, n, "%s", m.text);
            }
            break;
        case REGVIEW_MSG_TOO_LONG:
            snprintf(out, n, "Input string too long, limit %d", REGFILE_TEXT_MAX + 2);
            break;
        case REGVIEW_MSG_SAVE:
        case REGVIEW_MSG_LOG:
        case REGVIEW_MSG_NO_LOG:
            snprintf(out, n, "zrregdll: %s", m.text);
            break;
    }
}

static uint32_t KindOf(RegViewMessageKind kind) {
    switch (kind) {
        case REGVIEW_MSG_TOO_LONG:
            return ZRREG_MSG_TOO_LONG;
        case REGVIEW_MSG_SAVE:
            return ZRREG_MSG_SAVE;
        case REGVIEW_MSG_LOG:
        case REGVIEW_MSG_NO_LOG:
            return ZRREG_MSG_SHARING;
        case REGVIEW_MSG_PARSE:
        case REGVIEW_MSG_ERROR_IN_LINE:
        case REGVIEW_MSG_RUNAWAY:
        case REGVIEW_MSG_END_OF_KEY:
        case REGVIEW_MSG_UNEXPECTED_VALUE:
            break;
    }
    return ZRREG_MSG_SYNTAX;
}

void RegMessage(RegViewMessageKind kind, int line, const char* format, ...) {
    // A quiet load (the unload's re-read of a file) says what failed in one line of its own.
    if (s_msg.quiet && kind < REGVIEW_MSG_SAVE) return;
    char text[REGFILE_TEMP_MAX + 512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    RegViewMessage m = {kind, line, text};
    if (s_msg.sink) {
        s_msg.sink(&m, s_msg.context);
        return;
    }
    char words[sizeof text + 64];
    Words(m, words, sizeof words);
    if (s_msg.handler) {
        // The change log's damaged record gives its number as the line, which is no line of the file.
        uint32_t kindOut = KindOf(kind);
        uint32_t lineOut =
            kindOut == ZRREG_MSG_SYNTAX || kindOut == ZRREG_MSG_TOO_LONG ? static_cast<uint32_t>(line) : 0;
        t_inHandler = true;
        s_msg.handler(s_msg.handlerContext, kindOut, lineOut, words);
        t_inHandler = false;
    } else {
        // The length limit's message goes to yyout, which a test may point elsewhere.
        fprintf(kind == REGVIEW_MSG_TOO_LONG ? yyout : stdout, "%s\n", words);
    }
}

// ---- the outcome of the last unload -----------------------------------------------------

void RegNoteSave(RegViewSaveResult result, const char* keptIn, const char* why) {
    s_msg.result = result;
    snprintf(s_msg.keptIn, sizeof s_msg.keptIn, "%s", keptIn ? keptIn : "");
    snprintf(s_msg.why, sizeof s_msg.why, "%s", why ? why : "");
}

RegViewUnload RegViewLastUnload() { return RegViewUnload{s_msg.result, s_msg.keptIn, s_msg.why}; }
