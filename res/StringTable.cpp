// The library's string table, as the library carries it where there are no
// module resources to load texts from.
#include "../platform/StringTable.h"
#include "Resource.h"

namespace {

const StringResource kStrings[] = {
#define TAVRIN_STRING(id, text) {id, text},
#include "Strings.inc"
#undef TAVRIN_STRING
};

}  // namespace

const StringResource* GetLibraryStringTable(SIZE_T& count)
{
    count = sizeof(kStrings) / sizeof(kStrings[0]);
    return kStrings;
}
