// The ELF counterpart of the system's attach and detach calls, for the shared library only.
#include "zrregdll.h"

// Linked after the core, so that the dynamic linker runs the core's static initialisers
// first, as the C runtime does before DllMain.
__attribute__((constructor)) static void zrAttach() { DllMain(nullptr, 1, nullptr); }

// A process's end runs the destructors of static objects before the libraries' own, a
// dlclose the library's own first (the static objects' come with the C runtime's, which is
// linked before): so the detach can tell the two apart, as Windows tells it with pv.
static bool s_exiting;
static struct MarkExit {
    ~MarkExit() { s_exiting = true; }
} s_markExit;

__attribute__((destructor)) static void zrDetach() { DllMain(nullptr, 0, s_exiting ? &s_exiting : nullptr); }
