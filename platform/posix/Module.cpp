// POSIX backend of the module: its name, taken from the shared object's
// file as Windows takes a DLL's from its file, and the line on stderr that
// stands in for a message box.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "../App.h"

namespace tavrin::platform {

namespace {
// Any address inside the module tells dladdr which file it came from.
const char kInsideTheModule = 0;
}  // namespace

CString ModuleName()
{
    Dl_info info{};
    if (dladdr(&kInsideTheModule, &info) == 0 || info.dli_fname == nullptr)
        return CString();
    std::string name = info.dli_fname;
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    if (name.starts_with("lib"))
        name.erase(0, 3);
    const size_t suffix = name.find(".so");
    if (suffix != std::string::npos)
        name.erase(suffix);
    return CString(name.c_str());
}

void WriteStderrLine(const CString& line)
{
    const std::string text = line.str() + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        // Nobody to tell when stderr itself is gone.
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace tavrin::platform
