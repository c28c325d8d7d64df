// The library's string table. Texts are added here as the device classes
// that report them are; ids never change once published.
#include "../platform/StringTable.h"
#include "Resource.h"

namespace {

const StringResource kStrings[] = {
    {IDS_LIBRARY_DESCRIPTION, "Tavrin communications library"},
    {IDS_LOOPBACK_NAME, "Loopback"},
};

}  // namespace

const StringResource* GetLibraryStringTable(SIZE_T& count)
{
    count = sizeof(kStrings) / sizeof(kStrings[0]);
    return kStrings;
}
