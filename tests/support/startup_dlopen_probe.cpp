// A host that opens the library at run time (argv[1]: its path), for the
// start-up tests. Marks on stderr when the load begins and ends, so that a
// test can tell the start-up ran inside dlopen.
#include <dlfcn.h>

#include <cstdio>

using StartupQuery = int (*)();

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <library>\n", argv[0]);
        return 2;
    }
    std::fprintf(stderr, "load begins\n");
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    std::fprintf(stderr, "load ends\n");
    if (library == nullptr) {
        std::printf("dlopen failed: %s\n", dlerror());
        return 1;
    }
    auto query = reinterpret_cast<StartupQuery>(dlsym(library, "_Z22TavrinStartupSucceededv"));
    if (query == nullptr) {
        std::printf("no start-up query: %s\n", dlerror());
        return 1;
    }
    std::printf("startup %s\n", query() ? "succeeded" : "failed");
    return 0;
}
