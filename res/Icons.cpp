// The library's icons: .ico files turned into byte arrays by the build
// (cmake/EmbedBytes.cmake).
#include "../platform/Resources.h"
#include "Resource.h"

namespace {

const BYTE kModemIcon[] = {
#include "res/Modem.ico.inc"
};

const IconResource kIcons[] = {
    {IDI_MODEM, kModemIcon, sizeof(kModemIcon)},
};

}  // namespace

const IconResource* GetLibraryIconTable(SIZE_T& count)
{
    count = sizeof(kIcons) / sizeof(kIcons[0]);
    return kIcons;
}
