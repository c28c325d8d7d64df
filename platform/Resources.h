// The library's dialog templates and icons, found by id as Win32 resources
// are. The tables live with the other resources in res/; the lookups and
// what is built from them are in platform/mfc/.
#pragma once

#include "Types.h"

struct DialogItemResource {
    LPCSTR className;  // "COMBOBOX", "STATIC"
    int id;
    short x;
    short y;
    short cx;
    short cy;
    DWORD style;
    LPCSTR text;
    UINT iconId;  // the icon a SS_ICON static shows
};

struct DialogResource {
    UINT id;
    DWORD style;
    short x;
    short y;
    short cx;
    short cy;
    LPCSTR caption;
    WORD pointSize;
    LPCSTR faceName;
    const DialogItemResource* items;
    SIZE_T itemCount;
};

struct IconResource {
    UINT id;
    const BYTE* data;  // the bytes of an .ico file
    SIZE_T size;
};

// Defined by the resource module of the library.
const DialogResource* GetLibraryDialogTable(SIZE_T& count);
const IconResource* GetLibraryIconTable(SIZE_T& count);

// The template or icon with that id, or nullptr.
const DialogResource* FindLibraryDialog(UINT id);
const IconResource* FindLibraryIcon(UINT id);
