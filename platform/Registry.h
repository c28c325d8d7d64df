// The read side of the Win32 registry.
//
// Where there is no system registry, the tree is read from registry export
// files as Windows' registry editor writes them ("REGEDIT4" and "Windows
// Registry Editor Version 5.00", UTF-16LE with a byte-order mark or 8-bit
// text). The first registry call loads the file, or every "*.reg" file of
// the folder in name order, that the environment variable TAVRIN_REGISTRY
// names; without it (or with it empty), /etc/tavrin/registry (a file or a
// folder), where nothing at all means an empty registry. A path the variable
// names must exist. A failed automatic load leaves the registry empty and
// prints one line on stderr. A host can load a tree explicitly at any time
// with tavrin::LoadRegistry; after that, no automatic load happens.
//
// The calls answer as Windows does: key and value names are compared without
// regard to letter case; subkeys are enumerated in the registry's own order
// (case-insensitive alphabetical); an empty or null path opens the key it is
// relative to. String values are handed out as 8-bit text: characters of a
// UTF-16 export above 0xFF become '?'.
#pragma once

#include <string>

#include "Types.h"

// Windows: the system registry (advapi32, through <windows.h>).
#if !defined(_WIN32)
struct HKEY__ {
    int unused;
};
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

// The predefined roots, with Windows' values (sign-extended, as there).
#define TAVRIN_PREDEFINED_HKEY(value) \
    reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(static_cast<DWORD>(value))))
inline const HKEY HKEY_CLASSES_ROOT = TAVRIN_PREDEFINED_HKEY(0x80000000u);
inline const HKEY HKEY_CURRENT_USER = TAVRIN_PREDEFINED_HKEY(0x80000001u);
inline const HKEY HKEY_LOCAL_MACHINE = TAVRIN_PREDEFINED_HKEY(0x80000002u);
inline const HKEY HKEY_USERS = TAVRIN_PREDEFINED_HKEY(0x80000003u);
inline const HKEY HKEY_CURRENT_CONFIG = TAVRIN_PREDEFINED_HKEY(0x80000005u);

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_LINK = 6;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;

// Results are Win32 error codes: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND for a
// key or value that is not there, ERROR_INVALID_HANDLE for a key that is not
// open, ERROR_BAD_PATHNAME for a path that starts with a backslash,
// ERROR_ACCESS_DENIED for any access that would write (the tree is read-only).
TAVRIN_API LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
TAVRIN_API LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                     PHKEY phkResult);
// lpData null: only the type and the size (a string's size counts its
// terminating zero). A buffer too small: ERROR_MORE_DATA, the size needed in
// *lpcbData, and the buffer left untouched.
TAVRIN_API LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData);
// ERROR_NO_MORE_ITEMS past the last subkey; ERROR_MORE_DATA when the name
// and its terminating zero do not fit in cchName characters.
TAVRIN_API LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
// Closing a predefined root succeeds and changes nothing.
TAVRIN_API LONG WINAPI RegCloseKey(HKEY hKey);
#endif  // !_WIN32

namespace tavrin {

// Replaces the whole tree by what `path` holds: one export file, or every
// "*.reg" file of a folder, read in name order, later files adding to and
// overriding earlier ones ("[-key]" and "name"=- delete). On failure the
// tree keeps its previous content, the result is false and `error` (when
// given) reads "FILE:LINE: what is wrong". Keys already open keep showing
// the tree they were opened in until they are closed.
//
// On Windows the calls read the system registry: both loads return false
// with an error that says so, and RegistryLoadError() is empty.
TAVRIN_API bool LoadRegistry(const char* path, std::string* error = nullptr);

// Same, from the text of one export file held in memory (UTF-16LE with its
// byte-order mark, or 8-bit); `name` stands for the file in messages.
TAVRIN_API bool LoadRegistryText(const std::string& text, const char* name, std::string* error = nullptr);

// The message of the last failed load, automatic or explicit; empty when the
// last load succeeded or there was nothing to load. Like a registry call, it
// makes the automatic load happen if nothing was loaded yet.
TAVRIN_API std::string RegistryLoadError();

}  // namespace tavrin
