// The exported calls' own helpers: the wide interface's translations.
#ifndef REGCALLS_H
#define REGCALLS_H

#include "registry.h"

long regerrToWinerr(long regerr);
void xlateRegString(char* inString, char* outString, int length);
char* ZRNWGetSubkey(char* outStr, char* inStr);
// ZrRegCreateKey on a handle of the table, for a caller that holds the tree lock alone.
int32_t CreateKeyHeld(HKEY hKey, const unsigned short* lpSubKey, HKEY* phkResult);

#endif
