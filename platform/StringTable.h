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
TAVRIN_API int LoadStringA(HANDLE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
