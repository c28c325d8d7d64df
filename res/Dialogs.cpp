// The library's dialog templates, as the library carries them where there
// are no module resources (res/Tavrin.rc has the same for Windows).
// Coordinates are dialog units; control styles include WS_CHILD and
// WS_VISIBLE as a resource compiler's templates do.
#include "../platform/Dialog.h"
#include "../platform/Resources.h"
#include "Resource.h"

namespace {

const DialogItemResource kModemSelectItems[] = {
    {"COMBOBOX", IDC_MODEM_LIST, 12, 63, 230, 80, WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP,
     "", 0},
    {"STATIC", IDC_STATIC, 54, 26, 118, 8, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP,
     "More than one modem was detected.", 0},
    {"STATIC", IDC_STATIC, 54, 38, 108, 8, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP,
     "Please select a modem for testing.", 0},
    {"STATIC", IDC_STATIC, 14, 25, 21, 20, WS_CHILD | WS_VISIBLE | SS_ICON, "", IDI_MODEM},
};

const DialogResource kDialogs[] = {
    {IDD_MODEM_SELECT, DS_SETFONT | DS_CONTROL | WS_CHILD | WS_VISIBLE, 0, 0, 250, 170, "", 8, "MS Sans Serif",
     kModemSelectItems, sizeof(kModemSelectItems) / sizeof(kModemSelectItems[0])},
};

}  // namespace

const DialogResource* GetLibraryDialogTable(SIZE_T& count)
{
    count = sizeof(kDialogs) / sizeof(kDialogs[0]);
    return kDialogs;
}
