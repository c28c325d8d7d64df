// A fresh process for the registry tests: its first registry call loads the
// tree by itself, from TAVRIN_REGISTRY or the default place.
//   registry_probe KEY VALUE
// opens HKEY_LOCAL_MACHINE\KEY and prints "value=TEXT" (a string value
// without its terminating zero), or "open=CODE" / "query=CODE", then
// "error=" and the message of the load. Writes nothing to stderr itself.
#include <tavrin/Tavrin.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS) {
        std::printf("open=%d\n", static_cast<int>(result));
    } else {
        char text[256];
        DWORD size = sizeof text;
        result = RegQueryValueExA(key, argv[2], nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size);
        if (result != ERROR_SUCCESS)
            std::printf("query=%d\n", static_cast<int>(result));
        else
            std::printf("value=%.*s\n", size > 0 ? static_cast<int>(size - 1) : 0, text);
        RegCloseKey(key);
    }
    std::printf("error=%s\n", tavrin::RegistryLoadError().c_str());
    return 0;
}
