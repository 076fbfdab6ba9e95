/* zrregdll: a part of the Windows registry programming interface on one text file.
 *
 * Conventions
 * - Key handles are opaque pointers. A handle from ZrRegOpenKeyEx or ZrRegCreateKey
 *   belongs to the caller until ZrRegCloseKey; close them all before ZrUnloadRegistry.
 *   The handles of HkeyRegRoot, HkeyHKLM, HkeyHKCU and HkeyArdoRoot belong to the
 *   library: use them, never close them.
 * - Names are NUL-terminated 16-bit texts with "\" separating path components; a
 *   character of 256 or above ends a name. Names of 256 characters or more are refused.
 * - String data is passed to ZrRegSetValueEx as 8-bit text and read back as 16-bit text.
 * - The string that ZrRegQueryValueSz hands out comes from malloc; release it with free.
 * - Results: 0 success, 2 no memory, 3 invalid handle (or not a string), 5 not found,
 *   7 buffer too small (the room needed is stored back), 8 the handle's key is gone,
 *   9 no registry loaded, 10 key busy (open handles), 11 a name or text the file cannot
 *   hold (a double quote, a line break or byte 26; a text of more than 9998 bytes; a name
 *   of 256 characters or more), 259 no more items, 0xFFFFFFFF a required argument is
 *   null or a path is empty.
 * - ZrRegQueryValueEx takes *lpcbData as the room in lpData in bytes; data that does not
 *   fit is not written, and the answer is 7 with the room needed in bytes.
 * - ZrLoadRegistry: 0 loaded, 1 already loaded or syntax error, 2 no memory, 5 the file
 *   cannot be opened. Messages about a bad file go to standard output.
 * - One thread at a time; nothing is locked.
 */
#ifndef ZRREGDLL_H
#define ZRREGDLL_H

#include <stdint.h>

/* ZRREG_API marks the exported functions for the ELF symbol table; on Windows the
 * module-definition file names the exports, and a host imports them through the import
 * library or GetProcAddress. ZRREG_CALL is their calling convention, fixed as __cdecl on
 * Windows so that a host compiled with another default still matches; the entry point
 * uses the system's (__stdcall). */
#if defined(_WIN32)
#define ZRREG_API
#define ZRREG_CALL __cdecl
#define ZRREG_ENTRY_CALL __stdcall
#define ZRREG_REASON unsigned long
#else
#define ZRREG_API __attribute__((visibility("default")))
#define ZRREG_CALL
#define ZRREG_ENTRY_CALL
#define ZRREG_REASON uint32_t
#endif

#ifdef __cplusplus
extern "C" {
#endif

ZRREG_API void* ZRREG_CALL HkeyArdoRoot(void);
ZRREG_API uint32_t ZRREG_CALL ZrLoadRegistry(const char* filename);
ZRREG_API void ZRREG_CALL ZrUnloadRegistry(void);
ZRREG_API uint32_t ZRREG_CALL ZrRegCountSubKeys(void* hKey);
ZRREG_API int32_t ZRREG_CALL ZrRegOpenKeyEx(void* hKey, const unsigned short* lpSubKey, uint32_t mask,
                                            void** phkResult);
ZRREG_API int32_t ZRREG_CALL ZrRegCloseKey(void* hKey);
ZRREG_API int32_t ZRREG_CALL ZrRegEnumKeyEx(void* hKey, uint32_t dwIndex, unsigned short* lpName,
                                            uint32_t* lpcbName);
ZRREG_API int32_t ZRREG_CALL ZrRegQueryValueEx(void* hKey, const unsigned short* lpValueName,
                                               uint32_t* lpType, unsigned char* lpData, uint32_t* lpcbData);
ZRREG_API int32_t ZRREG_CALL ZrRegCreateKey(void* hKey, const unsigned short* lpSubKey, void** phkResult);
ZRREG_API int32_t ZRREG_CALL ZrRegSetValueEx(void* hKey, const unsigned short* lpValueName, uint32_t dwType,
                                             const unsigned char* lpData, uint32_t cbData);
ZRREG_API int32_t ZRREG_CALL ZrRegDeleteKey(void* hKey, const unsigned short* szwSubKeyName);
ZRREG_API int32_t ZRREG_CALL ZrRegDeleteValue(void* hKey, const unsigned short* szwValueName);
ZRREG_API uint32_t ZRREG_CALL ZrRegQueryValueSz(void* hkeyBase, const unsigned short* szKey,
                                                const unsigned short* szValueName,
                                                const unsigned short* szDefault, unsigned short** pszValue);
ZRREG_API uint32_t ZRREG_CALL ZrRegQueryValueDw(void* hkeyBase, const unsigned short* szKey,
                                                const unsigned short* szValueName, uint32_t dwDefault,
                                                uint32_t* pdwValue);
ZRREG_API void* ZRREG_CALL HkeyHKCU(void);
ZRREG_API void* ZRREG_CALL HkeyHKLM(void);
ZRREG_API void* ZRREG_CALL HkeyRegRoot(void);

/* The entry point that the system calls at attach (reason 1) and detach (reason 0); on
 * Linux the library calls it itself when it is loaded and unloaded. A Windows host never
 * calls it and may have a DllMain of its own, so it is declared there only for the
 * library's own sources, which define ZRREG_BUILD. */
#if !defined(_WIN32) || defined(ZRREG_BUILD)
ZRREG_API int ZRREG_ENTRY_CALL DllMain(void* hDll, ZRREG_REASON dwReason, void* pv);
#endif

#ifdef __cplusplus
}
#endif

#endif
