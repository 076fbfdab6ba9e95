// Messages about a registry file and its save: the one sink that every layer writes to.
#ifndef REGMSG_H
#define REGMSG_H

#include "regview.h"
#include "zrregdll.h"

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
