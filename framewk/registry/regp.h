// Every layer of the registry core, for the tests: each source of the core includes only
// the header of its own layer (regcalls.h, registry.h, regchange.h, regfile.h, regtree.h).
#ifndef REGP_H
#define REGP_H

#include "regcalls.h"

// The current registry's state under the names the tests use.
#define RootNode (RegTreeNow->root)
#define RegSlashKeyNames (RegTreeNow->slashNames)
#define lRegLoadCnt (RegTreeNow->loads)
#define bRegChanged (RegTreeNow->changed)
#define s_hkeyRoot (RegTreeNow->rootHandle)
#define s_hkeyHKLM (RegTreeNow->hklm)
#define s_hkeyHKCU (RegTreeNow->hkcu)
#define lineno (RegFileNow->line)

#endif
