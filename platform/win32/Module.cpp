// Windows backend of the module: its name, from the DLL's file, and the
// line on stderr that stands in for a message box.
#include <string>

#include "../App.h"

namespace tavrin::platform {

namespace {
// Any address inside the module names the DLL it belongs to.
const char kInsideTheModule = 0;
}  // namespace

CString ModuleName()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            &kInsideTheModule, &module))
        return CString();
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return CString();
    std::string name(path, length);
    const size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    // mingw names the DLL libtavrin.dll unless told otherwise.
    if (name.starts_with("lib"))
        name.erase(0, 3);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return CString(name.c_str());
}

void WriteStderrLine(const CString& line)
{
    const std::string text = line.str() + "\n";
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE)
        return;
    // One WriteFile for the whole line keeps lines of several threads whole.
    size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(err, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

}  // namespace tavrin::platform
