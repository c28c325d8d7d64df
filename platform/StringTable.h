// The library's string table: texts found by id, as Win32 string resources
// are. The table itself lives with the other resources; this is the lookup.
#pragma once

#include "Types.h"

struct StringResource {
    UINT id;
    LPCSTR text;
};

// Defined by the resource module of the library.
const StringResource* GetLibraryStringTable(SIZE_T& count);

// The text with that id, or nullptr.
TAVRIN_API LPCSTR FindLibraryString(UINT id);
#if !defined(_WIN32)
// On Windows LoadStringA is user32's, which reads a module's string
// resources; the library's table is reached through FindLibraryString and
// CString::LoadString there.
TAVRIN_API int LoadStringA(HANDLE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
#endif
