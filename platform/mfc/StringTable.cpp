#include "../StringTable.h"

#include <cstring>

#include "../Mfc.h"

#if !defined(_WIN32)
// Windows reads the texts from the DLL's string-table resource
// (platform/win32/Resources.cpp).
LPCSTR FindLibraryString(UINT id)
{
    SIZE_T count = 0;
    const StringResource* table = GetLibraryStringTable(count);
    for (SIZE_T i = 0; i < count; ++i)
        if (table[i].id == id)
            return table[i].text;
    return nullptr;
}

int LoadStringA(HANDLE, UINT uID, LPSTR lpBuffer, int cchBufferMax)
{
    LPCSTR text = FindLibraryString(uID);
    if (!text || !lpBuffer || cchBufferMax <= 0)
        return 0;
    const size_t length = std::min(std::strlen(text), static_cast<size_t>(cchBufferMax - 1));
    std::memcpy(lpBuffer, text, length);
    lpBuffer[length] = '\0';
    return static_cast<int>(length);
}
#endif

#pragma push_macro("LoadString")
#undef LoadString
BOOL CString::LoadString(UINT nID)
{
    LPCSTR text = FindLibraryString(nID);
    if (!text)
        return FALSE;
    *this = text;
    return TRUE;
}
#pragma pop_macro("LoadString")
