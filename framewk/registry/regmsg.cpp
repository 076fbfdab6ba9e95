// The library's messages and the outcome of the last unload: one sink for every message
// about a registry file or its save, and one record of what the unload did.
#include <stdarg.h>
#include <string.h>

#include "regscan.h"
#include "zrplat.h"

static bool s_quiet;
void RegQuiet(bool on) { s_quiet = on; }

static RegViewSink s_sink;
static void* s_context;

void RegViewSetSink(RegViewSink sink, void* context) {
    s_sink = sink;
    s_context = context;
}

bool RegHostSink() { return s_sink != nullptr; }

// The library's own words, on standard output (yyout for the length limit), byte for byte
// as they have always been printed.
static void PrintMessage(const RegViewMessage& m) {
    switch (m.kind) {
        case REGVIEW_MSG_PARSE:
            printf("line: %d - %s\n", m.line, m.text);
            break;
        case REGVIEW_MSG_ERROR_IN_LINE:
            printf("Error in line: %d\n", m.line);
            break;
        case REGVIEW_MSG_RUNAWAY:
            printf("line %d - FATAL: Runaway string\n", m.line);
            break;
        case REGVIEW_MSG_END_OF_KEY:
        case REGVIEW_MSG_UNEXPECTED_VALUE:
            if (m.line) printf("line %d: ", m.line);
            printf("%s\n", m.text);
            break;
        case REGVIEW_MSG_TOO_LONG:
            fprintf(yyout, "Input string too long, limit %d\n", REGFILE_TEXT_MAX + 2);
            break;
        case REGVIEW_MSG_SAVE:
        case REGVIEW_MSG_LOG:
        case REGVIEW_MSG_NO_LOG:
            printf("zrregdll: %s\n", m.text);
            break;
    }
}

void RegMessage(RegViewMessageKind kind, int line, const char* format, ...) {
    // A quiet load (the unload's re-read of a file) says what failed in one line of its own.
    if (s_quiet && kind < REGVIEW_MSG_SAVE) return;
    char text[REGFILE_TEMP_MAX + 512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    RegViewMessage m = {kind, line, text};
    if (s_sink) {
        s_sink(&m, s_context);
    } else {
        PrintMessage(m);
    }
}

// ---- the outcome of the last unload -----------------------------------------------------

static RegViewSaveResult s_result;
static char s_keptIn[REGFILE_TEMP_MAX];
static char s_why[REGFILE_TEMP_MAX + 128];

void RegNoteSave(RegViewSaveResult result, const char* keptIn, const char* why) {
    s_result = result;
    snprintf(s_keptIn, sizeof s_keptIn, "%s", keptIn ? keptIn : "");
    snprintf(s_why, sizeof s_why, "%s", why ? why : "");
}

RegViewUnload RegViewLastUnload() { return RegViewUnload{s_result, s_keptIn, s_why}; }
