// A minimal host: a window on the main thread, a loopback device, and a
// second thread that writes to it. Prints what the window receives.
#include <tavrin/Tavrin.h>

#include <cstdio>

namespace {

constexpr UINT WM_DEVICE_DATA = WM_APP + 1;
constexpr UINT WM_WRITER_DONE = WM_APP + 2;

struct Work {
    CDevice* device;
    HWND window;
};

DWORD WINAPI Writer(LPVOID param)
{
    auto* work = static_cast<Work*>(param);
    BYTE text[] = "hello";
    work->device->Write(text, 5);
    PostMessageA(work->window, WM_WRITER_DONE, 0, 0);
    return 0;
}

LRESULT CALLBACK WindowProc(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DEVICE_DATA)
        std::printf("received %u bytes: %.*s\n", static_cast<unsigned>(wParam), static_cast<int>(wParam),
                    reinterpret_cast<const char*>(lParam));
    return 0;
}

}  // namespace

int main()
{
    HWND window = CreateMessageWindow(WindowProc);
    CDevice device;
    device.EnableNotify(window);
    device.SetMessage(DEVMSG_DATA, WM_DEVICE_DATA);
    device.Connect();

    Work work{&device, window};
    HANDLE thread = CreateThread(nullptr, 0, Writer, &work, 0, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) && msg.message != WM_WRITER_DONE)
        DispatchMessageA(&msg);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);

    device.Disconnect();
    DestroyWindow(window);
    return 0;
}
