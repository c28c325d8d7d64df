#include <tavrin/Tavrin.h>

#include <cstdio>

namespace {
int g_bytes = 0;
constexpr UINT WM_DATA = WM_APP + 1;
}  // namespace

int main()
{
    HWND window = CreateMessageWindow([](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
        if (message == WM_DATA)
            g_bytes += static_cast<int>(wParam);
        return 0;
    });
    CDevice device;
    device.EnableNotify(window);
    device.SetMessage(DEVMSG_DATA, WM_DATA);
    device.Connect();
    HANDLE writer = CreateThread(
        nullptr, 0,
        [](LPVOID param) -> DWORD {
            BYTE bytes[3] = {'a', 'b', 'c'};
            static_cast<CDevice*>(param)->Write(bytes, 3);
            return 0;
        },
        &device, 0, nullptr);
    // The writer's notification is a message sent to this thread: a wait
    // that returns for input must let it in (Windows delivers sent messages
    // only inside the message calls) or the writer stays blocked.
    while (MsgWaitForMultipleObjects(1, &writer, FALSE, 5000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    CloseHandle(writer);
    device.Disconnect();
    DestroyWindow(window);
    std::printf("consumer received %d bytes\n", g_bytes);
    return g_bytes == 3 ? 0 : 1;
}
