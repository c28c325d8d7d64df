// A host linked with the library, for the start-up tests: tells how the
// start-up went, then tries to open a socket through the library's Winsock
// layer. Writes nothing to stderr itself, so that whatever appears there came
// from the library.
#include <tavrin/Tavrin.h>

#include <cstdio>


int main()
{
    std::printf("startup %s\n", TavrinStartupSucceeded() ? "succeeded" : "failed");
    const SOCKET s = tavrin::winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        std::printf("socket failed %d\n", WSAGetLastError());
    } else {
        std::printf("socket opened\n");
        closesocket(s);
    }
    return 0;
}
