// The ELF counterpart of the system's attach and detach calls, for the shared library only.
#include "zrregdll.h"

// Linked after the core, so that the dynamic linker runs the core's static initialisers
// first, as the C runtime does before DllMain.
__attribute__((constructor)) static void zrAttach() { DllMain(nullptr, 1, nullptr); }

__attribute__((destructor)) static void zrDetach() { DllMain(nullptr, 0, nullptr); }
