/* zrregdll: a part of the Windows registry programming interface on one text file.
 *
 * Conventions
 * 1. Key handles are opaque values, no addresses. A handle from ZrRegOpenKeyEx or
 *    ZrRegCreateKey belongs to the caller until ZrRegCloseKey; close them all before
 *    ZrUnloadRegistry. The handles of HkeyRegRoot, HkeyHKLM, HkeyHKCU and HkeyArdoRoot
 *    belong to the library: use them, never close them. The unload ends every handle, the
 *    library's too (ask for those again after the next load), but an app key's
 *    (ZrRegLoadAppKey), which end with its last close. A handle ended, closed or of an
 *    earlier load, or that never was one, is dead: every function that takes a handle
 *    answers a call with it, its other arguments sound, with ZRREG_INVALID_HANDLE
 *    (ZrRegCountSubKeys with 0xFFFFFFFF), writes what its failures write, and changes
 *    nothing. A dead handle can name a live one again only after its place in the library
 *    has served 2^31 more handles (2^11 where pointers have 32 bits), each, while memory
 *    lasts, after 512 other handles were closed: some 10^12 opens (10^6). Where pointers
 *    have 32 bits, 2^20 handles can be open at once; an open beyond that: ZRREG_NO_MEMORY.
 * 2. A handle names its key by path and is looked up anew on every call: once its key is
 *    deleted, calls with it answer ZRREG_KEY_NOT_FOUND, closing it still succeeds (and
 *    gives back the open count of whatever key its path names then), and once a key is
 *    made again at its path the handle reaches that key; the library's handles too.
 * 3. Names and paths are NUL-terminated 16-bit texts; a character of 256 or above ends
 *    one, and the others are stored as bytes (ISO-8859-1). Names and paths of 256
 *    characters or more are refused with ZRREG_BAD_NAME. Key and value names match
 *    without regard to case. Write them as ZRREG_TEXT("Software\\MyApp"), or convert
 *    UTF-8 with ZrTextFromUtf8 (both in zrregtext.h, which this header includes), never
 *    as L"...": wchar_t has 32 bits on Linux, where a C compiler lets L"Software" pass
 *    with a mere pointer warning, and the library, reading 16 bits at a time, takes "S"
 *    and then the upper half's NUL: a key named "S".
 * 4. Out-parameters are written only on success, unless the function's comment says
 *    otherwise; after ZRREG_BAD_ARG nothing at all is written.
 * 5. The string that ZrRegQueryValueSz hands out comes from malloc; release it with free.
 * 6. Threads: any number of threads may call any function at once. Queries, enumerations,
 *    opens and closes run side by side; changes, loads, unloads and a predefined-handle
 *    call that has to make its key run alone. Each call sees the tree whole, as it was
 *    before or after any other call; a sequence of calls is not atomic (another thread may
 *    change or delete a key between an open and a query). A handle may be used from any
 *    thread, but not while another thread closes it, and none while another thread
 *    unloads the registry. Until a second thread calls, one thread's calls take no lock.
 * 7. Processes: processes (zrreg among them) that load the same registry file share it
 *    through a change log beside it (app.txt-log beside app.txt) and lose none of each
 *    other's changes. A successful change is in the log when its call returns, so that
 *    it outlives the process (the log reaches the disk some 0.2 s later), and every
 *    other process applies it at its first call that begins after that return (any call:
 *    a query, an enumeration, an open), without a new load; all changes take one order,
 *    and per value and per key the later one wins. Not atomic across processes: a
 *    sequence of calls may interleave with another process's changes, and another
 *    process may delete a key this one holds open (rule 2). An unload while other
 *    processes still have the file loaded writes nothing (its changes stay in the log,
 *    where the others find them); the last process to unload writes the file and removes
 *    the log, and a checkpoint writes the file when the log passes 64 MB. When the file
 *    cannot be written, the log keeps the changes and the next load applies them; a log
 *    left by a crash is recovered by the next load, up to its first damaged record.
 *    Without a log (none can be made beside the file, or it lies on a network file
 *    system; a line on standard output says so), each process sees the file as it loaded
 *    it, and an unload that writes, when it finds the file replaced by another process
 *    since the load, reads the file anew and replays this process's changes since the
 *    load (its successful sets, creates and deletes, in order) onto it: per change, the
 *    later unload wins; a key this process changed and another deleted comes back
 *    holding this process's changes only; a key or value this process deleted goes,
 *    whatever another put into it. When the file cannot be locked or read back, that
 *    tree goes to APP.<process id>.TMP beside the file instead.
 */
#ifndef ZRREGDLL_H
#define ZRREGDLL_H

#include <stdint.h>

/* Results of the key and value functions; the numbers never change. The three functions
 * that return uint32_t give ZRREG_BAD_ARG as 0xFFFFFFFF. */
#define ZRREG_SUCCESS 0             /* the call did what was asked */
#define ZRREG_NO_MEMORY 2           /* an allocation failed */
#define ZRREG_INVALID_HANDLE 3      /* a dead handle, rule 1 (or, ZrRegQueryValueSz: not a string) */
#define ZRREG_NOT_FOUND 5           /* the named key or value does not exist */
#define ZRREG_BUFFER_TOO_SMALL 7    /* the data does not fit; the room needed was stored back */
#define ZRREG_KEY_NOT_FOUND 8       /* the handle's key is gone (deleted, rule 2) */
#define ZRREG_NOT_LOADED 9          /* no registry is loaded */
#define ZRREG_KEY_BUSY 10           /* the key to delete or rename has open handles */
#define ZRREG_BAD_NAME 11           /* a name or text the file cannot carry (see ZrRegSetValueEx) */
#define ZRREG_WRITE_FAULT 29        /* the change could not be recorded on disk: nothing changed */
#define ZRREG_SHARING_VIOLATION 32  /* ZrRegLoadAppKey: the file is the default registry's */
#define ZRREG_ALREADY_EXISTS 183    /* a rename's new name is taken by another key or value */
#define ZRREG_NO_MORE_ITEMS 259     /* the enumeration index is past the last subkey or value */
#define ZRREG_BAD_FILE 1009         /* ZrRegLoadAppKey: the file does not parse (ERROR_BADDB) */
#define ZRREG_UNSUPPORTED_TYPE 1630 /* ZrRegGetValue: the value's type is not among the flags */
#define ZRREG_BAD_ARG ((int32_t)-1) /* 0xFFFFFFFF: a required argument is null, or a path empty */

/* Results of ZrLoadRegistry. */
#define ZRREG_LOAD_OK 0        /* the file is loaded */
#define ZRREG_LOAD_REFUSED 1   /* loaded already, the file is an app key's, or it does not parse */
#define ZRREG_LOAD_NO_MEMORY 2 /* an allocation failed; nothing is loaded */
#define ZRREG_LOAD_NO_FILE 5   /* the file cannot be opened, or its path is null or has 512 bytes or more */

/* ZRREG_TYPE_* and ZRREG_RT_*: the value types and ZrRegGetValue's flags. */
#include "zrregtypes.h"

/* ZRREG_TEXT, ZrTextFromUtf8 and ZrTextToUtf8: the 16-bit text the functions take and give. */
#include "zrregtext.h"

/* ZRREG_API marks the exports for the ELF symbol table (on Windows the .def file names them,
 * imported through the import library or GetProcAddress); ZRREG_CALL is fixed as __cdecl
 * there, so that a host compiled with another default matches; DllMain uses __stdcall. */
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

/* Loads the registry file `filename`. ZRREG_LOAD_OK, ZRREG_LOAD_REFUSED,
 * ZRREG_LOAD_NO_MEMORY or ZRREG_LOAD_NO_FILE (also for a null filename); after a failure
 * nothing is loaded, except that a second load leaves the first one in place. Messages
 * about a bad file (with line numbers) go to standard output, or to the message handler
 * (ZrSetMessageHandler). A token longer than the scanner's limit (10000 bytes, see
 * docs/registry-format.md) ends the process with exit status 1; while a message handler is
 * set it refuses the load instead (ZRREG_LOAD_REFUSED, the handler told ZRREG_MSG_TOO_LONG). */
ZRREG_API uint32_t ZRREG_CALL ZrLoadRegistry(const char* filename);

/* Writes a changed tree back (to a temporary file beside the registry file, which then
 * replaces it; on failure the old file stays), and releases the tree and the library's
 * handles. A file whose name has no "." (on Windows: whose path has none) is never
 * written back. The write holds a lock that every process takes (rule 7) on a file
 * beside the registry file, named like the temporary file with ".LCK" (APP.LCK beside
 * app.txt), which the first write makes and which stays. When that lock is not had within
 * 5 seconds or cannot be taken at all, the file another process left cannot be read back
 * (a hand edit with a syntax error, or a text over the scanner's limit, which here ends no
 * process), or more changes were made than the journal holds (16 MB), the registry file
 * stays as it is, the tree goes to a file of this process's own beside it
 * (APP.<process id>.TMP), and one line on standard output (or the message handler's
 * ZRREG_MSG_SAVE) names it. */
ZRREG_API void ZRREG_CALL ZrUnloadRegistry(void);

/* The handle of the root key, "My Computer"; null when no registry is loaded. */
ZRREG_API void* ZRREG_CALL HkeyRegRoot(void);

/* The handles of the keys HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER below the root; a missing one
 * is made (after the root's other subkeys: a change the unload writes back). Null when no registry
 * is loaded. Later calls return the same handle until the unload. */
ZRREG_API void* ZRREG_CALL HkeyHKLM(void);
ZRREG_API void* ZRREG_CALL HkeyHKCU(void);

/* The handle of the product's key HKEY_LOCAL_MACHINE\Software\MORVANE\Ardo\1.0, every
 * missing level made, kept like HkeyHKLM's (which it opens too). The levels between are
 * not held open: deleting one deletes the product key, and this handle answers
 * ZRREG_KEY_NOT_FOUND until the key is made again (rule 2). */
ZRREG_API void* ZRREG_CALL HkeyArdoRoot(void);

/* The number of subkeys of hKey; 0xFFFFFFFF when they cannot be enumerated (a null or
 * dead handle, or a subkey name of 256 characters or more). */
ZRREG_API uint32_t ZRREG_CALL ZrRegCountSubKeys(void* hKey);

/* Opens the key at the path lpSubKey below hKey ("\" or "/" between the names; "" and a
 * trailing separator name no key) and stores a new handle in *phkResult. `mask` is not
 * used. ZRREG_SUCCESS; ZRREG_NOT_FOUND; ZRREG_INVALID_HANDLE; ZRREG_KEY_NOT_FOUND;
 * ZRREG_BAD_NAME; ZRREG_NO_MEMORY; ZRREG_BAD_ARG. */
ZRREG_API int32_t ZRREG_CALL ZrRegOpenKeyEx(void* hKey, const unsigned short* lpSubKey, uint32_t mask,
                                            void** phkResult);

/* Releases a handle: ZRREG_SUCCESS, also when its key is gone, and for a null hKey;
 * ZRREG_INVALID_HANDLE for a dead one (closed already, say). */
ZRREG_API int32_t ZRREG_CALL ZrRegCloseKey(void* hKey);

/* Writes the name of subkey number dwIndex (from 0, in the key's order) into lpName,
 * which must have room for 256 characters, and its length without the terminator into
 * *lpcbName, which is not read. ZRREG_SUCCESS; ZRREG_NO_MORE_ITEMS past the last subkey;
 * ZRREG_BUFFER_TOO_SMALL for a name of 256 characters or more; ZRREG_INVALID_HANDLE;
 * ZRREG_KEY_NOT_FOUND; ZRREG_BAD_ARG. After any failure but ZRREG_BAD_ARG, lpName is ""
 * and *lpcbName is 0. */
ZRREG_API int32_t ZRREG_CALL ZrRegEnumKeyEx(void* hKey, uint32_t dwIndex, unsigned short* lpName,
                                            uint32_t* lpcbName);

/* Reads the value lpValueName of hKey, the name taken as it is (a "\" stays, while
 * ZrRegSetValueEx stores it as "/"). *lpcbData is the room in lpData in bytes. A string
 * is written as 16-bit text with its terminator (2 bytes a character), an integer as 4
 * bytes; *lpType becomes ZRREG_TYPE_SZ or ZRREG_TYPE_DWORD, and *lpcbData the size in
 * the value's own units: characters with the terminator, or 4. ZRREG_BUFFER_TOO_SMALL:
 * nothing is written but *lpcbData, the room needed in bytes. ZRREG_NOT_FOUND,
 * ZRREG_INVALID_HANDLE, ZRREG_KEY_NOT_FOUND, ZRREG_NO_MEMORY: *lpcbData becomes 256 and
 * lpData "" when it has room for it; *lpType is untouched. ZRREG_BAD_NAME, ZRREG_BAD_ARG:
 * nothing is written. */
ZRREG_API int32_t ZRREG_CALL ZrRegQueryValueEx(void* hKey, const unsigned short* lpValueName,
                                               uint32_t* lpType, unsigned char* lpData, uint32_t* lpcbData);

/* Opens the key at the path lpSubKey below hKey ("\" or "/" between the names; empty
 * names are skipped), making every missing level (appended after its siblings), and
 * stores a handle of the last one in *phkResult. ZRREG_SUCCESS; ZRREG_BAD_NAME (a level
 * the file cannot carry, see ZrRegSetValueEx: the levels before it stay); ZRREG_NOT_LOADED;
 * ZRREG_INVALID_HANDLE; ZRREG_KEY_NOT_FOUND; ZRREG_NO_MEMORY; ZRREG_BAD_ARG, also for an
 * empty path and one that starts with a separator. */
ZRREG_API int32_t ZRREG_CALL ZrRegCreateKey(void* hKey, const unsigned short* lpSubKey, void** phkResult);

/* Sets the value lpValueName of hKey (a "\" in the name is stored as "/"). A value of the
 * same name is replaced, and the new one goes last. Type ZRREG_TYPE_DWORD reads 4 bytes
 * from lpData whatever cbData says; any other type (not 0) is stored as a string of the
 * 8-bit text in lpData, which ends at its first NUL or after cbData bytes. ZRREG_SUCCESS;
 * ZRREG_BAD_NAME for a name or text holding a double quote, a line feed (byte 10) or
 * byte 26, or a text of more than 9998 bytes; ZRREG_INVALID_HANDLE; ZRREG_KEY_NOT_FOUND;
 * ZRREG_NO_MEMORY (the old value stays); ZRREG_BAD_ARG, also for a dwType or cbData of
 * 0. */
ZRREG_API int32_t ZRREG_CALL ZrRegSetValueEx(void* hKey, const unsigned short* lpValueName, uint32_t dwType,
                                             const unsigned char* lpData, uint32_t cbData);

/* Deletes the subkey szwSubKeyName of hKey with everything below it. The name is one
 * name, not a path (a "\" in it is taken as "/"). Handles open below the subkey do not
 * stop the deletion: their key is gone. ZRREG_SUCCESS; ZRREG_NOT_FOUND; ZRREG_KEY_BUSY
 * when the subkey itself has open handles; ZRREG_NOT_LOADED; ZRREG_INVALID_HANDLE;
 * ZRREG_KEY_NOT_FOUND; ZRREG_BAD_NAME; ZRREG_BAD_ARG. */
ZRREG_API int32_t ZRREG_CALL ZrRegDeleteKey(void* hKey, const unsigned short* szwSubKeyName);

/* Deletes the value szwValueName of hKey (a "\" in the name is taken as "/").
 * ZRREG_SUCCESS; ZRREG_NOT_FOUND; ZRREG_NOT_LOADED; ZRREG_INVALID_HANDLE;
 * ZRREG_KEY_NOT_FOUND; ZRREG_BAD_NAME; ZRREG_BAD_ARG. */
ZRREG_API int32_t ZRREG_CALL ZrRegDeleteValue(void* hKey, const unsigned short* szwValueName);

/* Reads the string value szValueName of the key szKey below hkeyBase (szKey null or "":
 * hkeyBase itself) into a new 16-bit text in *pszValue, which the caller frees (rule 5).
 * When the value cannot be read and szDefault is given, *pszValue is a copy of szDefault
 * and the result ZRREG_SUCCESS. Otherwise *pszValue is null and the result the reason:
 * ZRREG_NOT_FOUND, ZRREG_INVALID_HANDLE for a value that is not a string, or another
 * result of ZrRegOpenKeyEx and ZrRegQueryValueEx. A dead hkeyBase gets no default:
 * *pszValue is null and the result ZRREG_INVALID_HANDLE. 0xFFFFFFFF (ZRREG_BAD_ARG) when
 * hkeyBase, szValueName or pszValue is null; *pszValue is untouched then. */
ZRREG_API uint32_t ZRREG_CALL ZrRegQueryValueSz(void* hkeyBase, const unsigned short* szKey,
                                                const unsigned short* szValueName,
                                                const unsigned short* szDefault, unsigned short** pszValue);

/* Reads the integer value szValueName of the key szKey below hkeyBase (szKey null or "":
 * hkeyBase itself) into *pdwValue, which gets dwDefault when there is no such integer (a
 * missing key or value, a string value, any failure). ZRREG_SUCCESS; ZRREG_INVALID_HANDLE
 * for a dead hkeyBase (*pdwValue gets dwDefault); 0xFFFFFFFF (ZRREG_BAD_ARG) when
 * hkeyBase, szValueName or pdwValue is null. */
ZRREG_API uint32_t ZRREG_CALL ZrRegQueryValueDw(void* hkeyBase, const unsigned short* szKey,
                                                const unsigned short* szValueName, uint32_t dwDefault,
                                                uint32_t* pdwValue);

/* Reads value number dwIndex (from 0, in the key's order) of hKey, as RegEnumValueW: its
 * name into lpValueName, whose room in characters with the terminator is *lpcchValueName,
 * which becomes the name's length without it; its type into *lpType; its data into lpData
 * with the sizes of ZrRegQueryValueEx (*lpcbData the room in bytes, then characters with
 * the terminator, or 4). lpType, lpData and lpcbData may be null; with lpData null, a
 * given *lpcbData becomes the room the data needs in bytes. Each index costs the same
 * whatever its place. ZRREG_SUCCESS; ZRREG_NO_MORE_ITEMS past the last value;
 * ZRREG_BUFFER_TOO_SMALL when the name or the data does not fit: then *lpcchValueName
 * becomes the room the name needs with its terminator, a given *lpcbData the room the data
 * needs in bytes, and nothing else is written; ZRREG_INVALID_HANDLE; ZRREG_KEY_NOT_FOUND;
 * ZRREG_BAD_ARG for a null hKey, lpValueName or lpcchValueName, or lpData without
 * lpcbData. Unlike Win32: no reserved argument, the needed name room is told, and the data
 * size on success counts characters for a string, as ZrRegQueryValueEx's does. */
ZRREG_API int32_t ZRREG_CALL ZrRegEnumValue(void* hKey, uint32_t dwIndex, unsigned short* lpValueName,
                                            uint32_t* lpcchValueName, uint32_t* lpType, unsigned char* lpData,
                                            uint32_t* lpcbData);

/* What RegQueryInfoKeyW tells of hKey that this registry holds: the numbers of subkeys and
 * values, the longest subkey name and value name in characters without the terminator,
 * and the largest data in bytes as ZrRegQueryValueEx needs room for it (0 for none); each
 * out-parameter may be null. The counts cost the same for any key; each maximum asked for
 * reads every subkey name, or every value name and text, once (Win32 keeps them stored).
 * Unlike ZrRegCountSubKeys, subkey names of 256 characters or more are counted and
 * measured. ZRREG_SUCCESS; ZRREG_INVALID_HANDLE; ZRREG_KEY_NOT_FOUND; ZRREG_NO_MEMORY;
 * ZRREG_BAD_ARG for a null hKey. No class or security; the time: ZrRegQueryLastWriteTime. */
ZRREG_API int32_t ZRREG_CALL ZrRegQueryInfoKey(void* hKey, uint32_t* lpcSubKeys, uint32_t* lpcchMaxSubKeyLen,
                                               uint32_t* lpcValues, uint32_t* lpcchMaxValueNameLen,
                                               uint32_t* lpcbMaxValueLen);
/* RegQueryInfoKeyW's last-write time of hKey (100 ns units since 1601): when its values or
 * its list of subkeys last changed, by any process; the file's for a key unchanged since the
 * load. Results as ZrRegQueryInfoKey's; ZRREG_BAD_ARG also for a null lpftLastWriteTime. */
ZRREG_API int32_t ZRREG_CALL ZrRegQueryLastWriteTime(void* hKey, uint64_t* lpftLastWriteTime);

/* Deletes the subkey lpSubKey of hKey with everything below it, as RegDeleteTreeW; with a
 * null or empty lpSubKey, every subkey and every value of hKey, which stays (Win32 does
 * the same for a null name). All or nothing: when any key that would go has an open
 * handle (the library's own handles among them) the result is ZRREG_KEY_BUSY and nothing
 * changes. The name is one name, not a path, as for ZrRegDeleteKey (a "\" in it is taken
 * as "/"), where Win32 takes a path. ZRREG_SUCCESS; ZRREG_NOT_FOUND; ZRREG_KEY_BUSY;
 * ZRREG_NOT_LOADED; ZRREG_INVALID_HANDLE; ZRREG_KEY_NOT_FOUND; ZRREG_BAD_NAME;
 * ZRREG_NO_MEMORY (nothing changed); ZRREG_BAD_ARG for a null hKey. */
ZRREG_API int32_t ZRREG_CALL ZrRegDeleteTree(void* hKey, const unsigned short* lpSubKey);

/* Reads the value lpValue (null: the value named "") of the key lpSubKey below hKey (null
 * or "": hKey itself), as RegGetValueW: when the value's type is among dwFlags (ZRREG_RT_*)
 * *pdwType becomes its type and pvData gets its data, *pcbData (the room in bytes) the
 * bytes written: a plain string (see ZrRegSetValueEx) as 16-bit text with its terminator,
 * a plain integer as 4 bytes, any other value its bytes as stored, a REG_SZ or
 * REG_EXPAND_SZ without a terminating NUL with one added. Without ZRREG_NOEXPAND a
 * REG_EXPAND_SZ comes back as a REG_SZ (and is matched as one) with every %NAME% of a set
 * environment variable replaced by its value. ZRREG_RT_DWORD_ANY and ZRREG_RT_QWORD_ANY
 * take a REG_BINARY of 4 or 8 bytes only (another size is ZRREG_UNSUPPORTED_TYPE, where
 * Win32 answers ERROR_DATATYPE_MISMATCH). With ZRREG_ZEROONFAILURE a failure zeroes the
 * *pcbData bytes of pvData. pdwType, pvData and pcbData may be null; with pvData null, a
 * given *pcbData becomes the room needed in bytes. ZRREG_SUCCESS; ZRREG_UNSUPPORTED_TYPE
 * for a type outside dwFlags; ZRREG_BUFFER_TOO_SMALL: only *pcbData is written, the room
 * needed in bytes; ZRREG_NOT_FOUND; ZRREG_INVALID_HANDLE; ZRREG_KEY_NOT_FOUND;
 * ZRREG_BAD_NAME; ZRREG_NO_MEMORY; ZRREG_BAD_ARG for a null hKey, pvData without pcbData,
 * dwFlags with no bit of ZRREG_RT_ANY or a bit beyond those above, or ZRREG_RT_EXPAND_SZ
 * without ZRREG_NOEXPAND (unless all of ZRREG_RT_ANY). Sizes count bytes, as in Win32,
 * unlike ZrRegQueryValueEx's for a plain string. */
ZRREG_API int32_t ZRREG_CALL ZrRegGetValue(void* hKey, const unsigned short* lpSubKey,
                                           const unsigned short* lpValue, uint32_t dwFlags, uint32_t* pdwType,
                                           void* pvData, uint32_t* pcbData);

/* Returns once every change made so far, by any thread, survives a power loss, as
 * RegFlushKey: the change log is synced to disk (without it the file is synced within a
 * quarter second anyway); without a log (see the README) the tree is written back now,
 * merged as the unload merges when another process replaced the file. Any key handle will
 * do: the whole registry is flushed, as Win32 may. ZRREG_SUCCESS; ZRREG_WRITE_FAULT when
 * the sync or the write failed (the changes stay, a later flush may succeed);
 * ZRREG_INVALID_HANDLE; ZRREG_NOT_LOADED; ZRREG_BAD_ARG for a null hKey. */
ZRREG_API int32_t ZRREG_CALL ZrRegFlushKey(void* hKey);

/* What ZrRegNotifyChangeKeyValue watches (REG_NOTIFY_CHANGE_*): subkeys made or deleted,
 * and values set or deleted. The file holds no attributes or security: those two are
 * taken and never fire. REG_NOTIFY_THREAD_AGNOSTIC is taken too: every watch is. */
#define ZRREG_NOTIFY_CHANGE_NAME 0x00000001
#define ZRREG_NOTIFY_CHANGE_ATTRIBUTES 0x00000002
#define ZRREG_NOTIFY_CHANGE_LAST_SET 0x00000004
#define ZRREG_NOTIFY_CHANGE_SECURITY 0x00000008
#define ZRREG_NOTIFY_THREAD_AGNOSTIC 0x10000000

/* Watches the key of hKey (with bWatchSubtree, every key below it too) for the changes of
 * dwNotifyFilter, as RegNotifyChangeKeyValue, made by any thread of this process or by
 * another process that has the file loaded (seen within 100 ms through the change log;
 * without a log, see the README, only this process's changes are seen). A watch fires
 * once and ends; closing hKey, unloading the registry or the library, or deleting the
 * watched key (or a key above it), whatever the filter, ends it too, firing it. A key
 * already deleted, by this process or by another one, is not watched: the call answers
 * ZRREG_KEY_NOT_FOUND at once. Synchronous (fAsynchronous 0): the call returns when the
 * watch fired, ZRREG_SUCCESS for a change, ZRREG_KEY_NOT_FOUND when the key was deleted
 * (Win32's ERROR_KEY_DELETED) and ZRREG_INVALID_HANDLE when hKey was closed or the
 * registry unloaded meanwhile. Asynchronous: the call returns at once and the watch
 * signals hEvent: on Windows an event handle, set; on POSIX a pointer to an int holding a
 * descriptor (an eventfd, or the write end of a pipe), which gets the 8 bytes of the
 * number 1 unless it is full. The watch signals a duplicate of its own, made by the call
 * (close-on-exec) and closed when the watch ends, so the host may close its own at any
 * time: whatever it opens then under the same number is never written. Where Win32
 * differs: a creation several levels below a key watched without its subtree may fire it.
 * ZRREG_SUCCESS; ZRREG_INVALID_HANDLE; ZRREG_KEY_NOT_FOUND; ZRREG_NOT_LOADED;
 * ZRREG_NO_MEMORY (also when the process has no room for the duplicate); ZRREG_BAD_ARG for
 * a null hKey, a filter without ZRREG_NOTIFY_CHANGE_* bits or with bits beyond them and
 * ZRREG_NOTIFY_THREAD_AGNOSTIC, an asynchronous watch without hEvent, or an hEvent that
 * is no open handle or descriptor. */
ZRREG_API int32_t ZRREG_CALL ZrRegNotifyChangeKeyValue(void* hKey, int32_t bWatchSubtree,
                                                       uint32_t dwNotifyFilter, void* hEvent,
                                                       int32_t fAsynchronous);

/* The kinds of the library's messages, as a message handler gets them:
 * ZRREG_MSG_SYNTAX    the registry file being loaded is bad at `line`: a syntax error, a
 *                     runaway string, a value outside any key, the end of a key that is not
 *                     its own (line 0); the load goes on or is refused as without a handler
 * ZRREG_MSG_TOO_LONG  a token at `line` is longer than the scanner's limit: the load is refused
 * ZRREG_MSG_SAVE      an unload or a flush could not write the registry file: where this
 *                     process's changes went instead, or that they are lost
 * ZRREG_MSG_SHARING   the change log: a damaged record, a file changed by another program, a
 *                     file shared without a log; nothing failed */
#define ZRREG_MSG_SYNTAX 1
#define ZRREG_MSG_TOO_LONG 2
#define ZRREG_MSG_SAVE 3
#define ZRREG_MSG_SHARING 4

/* A message handler: `kind` is one of ZRREG_MSG_*, `line` the line of the registry file the
 * message is about (0 when it names none), `text` the message as standard output would show
 * it, without its line feed ("line: 3 - syntax error", "Input string too long, limit 10000"),
 * valid during the call only. */
typedef void(ZRREG_CALL* ZrMessageHandler)(void* context, uint32_t kind, uint32_t line, const char* text);

/* Sends every message of the library to `handler`, with `context`, instead of standard
 * output, for the whole process and from the next message on; a null handler restores the
 * default. While a handler is set, a token over the scanner's limit refuses the load
 * (ZRREG_LOAD_REFUSED, nothing loaded, nothing held) instead of ending the process. The
 * handler is called on the thread of the call that has something to say (a load, an unload,
 * a flush, or any call that applies another process's changes), one message at a time,
 * while that call holds the library's lock: it must return normally (a C++ handler must not
 * throw) and may call no function of this library but ZrSetMessageHandler. Once
 * ZrSetMessageHandler returns, the handler it replaced is called no more, so that its
 * context may be freed (a handler that replaces itself finishes its own call). */
ZRREG_API void ZRREG_CALL ZrSetMessageHandler(ZrMessageHandler handler, void* context);

/* Renames the key lpSubKeyName below hKey (a path, "\" or "/" between the names; null or
 * "": hKey's own key) to lpNewKeyName, as RegRenameKey: the key keeps its subkeys, values
 * and place among its siblings. Names match without regard to case, so a new case of the
 * same name is a rename too. Renaming hKey's own key takes hKey along to the new name; any
 * other handle open on the key or below it refuses the rename (Win32 would keep such
 * handles; here a handle names its key by path, rule 2). Another process's handles below
 * the key, which cannot refuse it, name nothing afterwards, as after a deletion. Durable and
 * seen by other processes as every change. ZRREG_SUCCESS; ZRREG_ALREADY_EXISTS when another
 * subkey of the parent has the new name; ZRREG_NOT_FOUND when the key is missing;
 * ZRREG_KEY_BUSY when other handles are open on the key or below it, or the key is the root,
 * HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER below it, or a library handle's (rule 1) own key;
 * ZRREG_BAD_NAME for a new name holding "\" or "/", or one the file cannot carry (see
 * ZrRegSetValueEx); ZRREG_NOT_LOADED; ZRREG_INVALID_HANDLE; ZRREG_KEY_NOT_FOUND;
 * ZRREG_NO_MEMORY; ZRREG_WRITE_FAULT; ZRREG_BAD_ARG for a null hKey or a null or empty
 * lpNewKeyName. */
ZRREG_API int32_t ZRREG_CALL ZrRegRenameKey(void* hKey, const unsigned short* lpSubKeyName,
                                            const unsigned short* lpNewKeyName);

/* Renames the value lpValueName of the key lpSubKey below hKey (null or "": hKey itself)
 * to lpNewValueName, as one change: no crash leaves both names or neither (Win32 has no
 * such call). The value keeps its type, data and place in the key's order (where a set of
 * an existing name moves the value last). Value names may be "", and a "\" in either name
 * is taken as "/", as for ZrRegSetValueEx. ZRREG_SUCCESS; ZRREG_ALREADY_EXISTS when
 * another value has the new name (a new case of the same name renames); ZRREG_NOT_FOUND
 * when the value or the key lpSubKey is missing; ZRREG_BAD_NAME (see ZrRegSetValueEx);
 * ZRREG_NOT_LOADED; ZRREG_INVALID_HANDLE; ZRREG_KEY_NOT_FOUND; ZRREG_NO_MEMORY;
 * ZRREG_WRITE_FAULT; ZRREG_BAD_ARG for a null hKey, lpValueName or lpNewValueName. */
ZRREG_API int32_t ZRREG_CALL ZrRegRenameValue(void* hKey, const unsigned short* lpSubKey,
                                              const unsigned short* lpValueName,
                                              const unsigned short* lpNewValueName);

/* Sets the value lpValueName (null: "") of the key lpSubKey below hKey (null or "": hKey
 * itself; missing levels are made), as RegSetKeyValueW: any dwType with exactly the cbData
 * bytes at lpData, strings as UTF-16LE. A REG_SZ that the file can carry as 8-bit text and a
 * REG_DWORD of 4 bytes become the plain values of ZrRegSetValueEx; any other value is kept
 * as its type and bytes, which the reads hand back unchanged (docs/registry-format.md).
 * Results as ZrRegSetValueEx's, ZRREG_WRITE_FAULT also for a value of more than 4 MB while
 * the change log is in use; ZRREG_BAD_ARG for a null hKey, or a null lpData with a cbData. */
ZRREG_API int32_t ZRREG_CALL ZrRegSetKeyValue(void* hKey, const unsigned short* lpSubKey,
                                              const unsigned short* lpValueName, uint32_t dwType,
                                              const void* lpData, uint32_t cbData);

/* Loads the registry file lpFile privately, as Win32's RegLoadAppKeyW, beside the registry
 * of ZrLoadRegistry: *phkResult gets a handle of its root, on which (and on the keys opened
 * below it) every call taking a handle works. It is shared and durable like that registry
 * (its own change log beside the file); when the last of its handles is closed, it is
 * written back and let go. A file loaded already this way gives another handle of the
 * same registry. dwOptions is 0 or 1 (REG_PROCESS_APPKEY), samDesired is not checked,
 * Reserved is 0. ZRREG_SUCCESS; ZRREG_NOT_FOUND (no such file); ZRREG_BAD_FILE; ZRREG_NO_MEMORY;
 * ZRREG_SHARING_VIOLATION; ZRREG_BAD_ARG. */
ZRREG_API int32_t ZRREG_CALL ZrRegLoadAppKey(const char* lpFile, void** phkResult, uint32_t samDesired,
                                             uint32_t dwOptions, uint32_t Reserved);

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
