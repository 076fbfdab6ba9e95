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
 *   hold (a double quote, a line break, or 256 characters or more), 259 no more items,
 *   0xFFFFFFFF a required argument is null or a path is empty.
 * - ZrLoadRegistry: 0 loaded, 1 already loaded or syntax error, 2 no memory, 5 the file
 *   cannot be opened. Messages about a bad file go to standard output.
 * - One thread at a time; nothing is locked.
 */
#ifndef ZRREGDLL_H
#define ZRREGDLL_H

#include <stdint.h>

#if defined(_WIN32)
#define ZRREG_API
#else
#define ZRREG_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

ZRREG_API void* HkeyArdoRoot(void);
ZRREG_API uint32_t ZrLoadRegistry(const char* filename);
ZRREG_API void ZrUnloadRegistry(void);
ZRREG_API uint32_t ZrRegCountSubKeys(void* hKey);
ZRREG_API int32_t ZrRegOpenKeyEx(void* hKey, const unsigned short* lpSubKey, uint32_t mask, void** phkResult);
ZRREG_API int32_t ZrRegCloseKey(void* hKey);
ZRREG_API int32_t ZrRegEnumKeyEx(void* hKey, uint32_t dwIndex, unsigned short* lpName, uint32_t* lpcbName);
ZRREG_API int32_t ZrRegQueryValueEx(void* hKey, const unsigned short* lpValueName, uint32_t* lpType,
                                    unsigned char* lpData, uint32_t* lpcbData);
ZRREG_API int32_t ZrRegCreateKey(void* hKey, const unsigned short* lpSubKey, void** phkResult);
ZRREG_API int32_t ZrRegSetValueEx(void* hKey, const unsigned short* lpValueName, uint32_t dwType,
                                  const unsigned char* lpData, uint32_t cbData);
ZRREG_API int32_t ZrRegDeleteKey(void* hKey, const unsigned short* szwSubKeyName);
ZRREG_API int32_t ZrRegDeleteValue(void* hKey, const unsigned short* szwValueName);
ZRREG_API uint32_t ZrRegQueryValueSz(void* hkeyBase, const unsigned short* szKey, const unsigned short* szValueName,
                                     const unsigned short* szDefault, unsigned short** pszValue);
ZRREG_API uint32_t ZrRegQueryValueDw(void* hkeyBase, const unsigned short* szKey, const unsigned short* szValueName,
                                     uint32_t dwDefault, uint32_t* pdwValue);
ZRREG_API void* HkeyHKCU(void);
ZRREG_API void* HkeyHKLM(void);
ZRREG_API void* HkeyRegRoot(void);

#ifdef __cplusplus
}
#endif

#endif
