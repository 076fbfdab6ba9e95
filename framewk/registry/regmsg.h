// Messages about a registry file and its save: the one sink that every layer writes to.
#ifndef REGMSG_H
#define REGMSG_H

#include <stdio.h>

#include "regview.h"
#include "zrregdll.h"

// The registry file's limits, which messages name and the note of a save holds: the longest
// path a host may give, and the longest name made of it (the file a save replaces, its
// temporary file).
#define REGFILE_PATH_MAX 512
#define REGFILE_TEMP_MAX 4096
// The longest text the scanner reads back between double quotes: its 10000-byte limit
// holds the two quotes too. A bare word may be one byte longer, as the limit holds the
// byte that ends it.
#define REGFILE_TEXT_MAX 9998
#define REGFILE_WORD_MAX 9999

// The stream that the message of a token over the scanner's length limit goes to, which a
// test may point elsewhere (the scanner defines it).
extern FILE* yyout;

// Every message goes through RegMessage (text formatted as by printf) to the one sink:
// standard output in the library's own words, a sink the project's hosts set (regview.h), or
// the handler a host set (ZrSetMessageHandler).
void RegMessage(RegViewMessageKind kind, int line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// Whether a host set a sink or handler of its own: it gets a token over the length limit as a
// refused load.
bool RegHostSink();
// What the unload did with the tree, for RegViewLastUnload; keptIn and why may be null.
void RegNoteSave(RegViewSaveResult result, const char* keptIn, const char* why);
// While on, messages about a bad file are dropped (messages about a save still go out).
void RegQuiet(bool on);

#endif
