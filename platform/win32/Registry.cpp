// The registry on Windows is the system's; the export-file loading of the
// POSIX backend has nothing to replace there.
#include "../Registry.h"

namespace tavrin {

namespace {
bool Refuse(std::string* error)
{
    if (error != nullptr)
        *error = "the system registry is used on Windows; export files are not loaded";
    return false;
}
}  // namespace

bool LoadRegistry(const char*, std::string* error)
{
    return Refuse(error);
}

bool LoadRegistryText(const std::string&, const char*, std::string* error)
{
    return Refuse(error);
}

std::string RegistryLoadError()
{
    return std::string();
}

}  // namespace tavrin
