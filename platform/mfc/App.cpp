#include "../App.h"

#include <atomic>
#include <mutex>

namespace {

enum class Startup { NotRun, Succeeded, Failed };

// All constant-initialised: the start-up runs during the module's static
// initialisation, possibly before this unit's dynamic initialisers.
constinit std::atomic<CWinApp*> g_app{nullptr};
constinit std::atomic<Startup> g_startup{Startup::NotRun};
constinit std::atomic<bool> g_attached{false};
constinit bool g_socketsStarted = false;

// Built on first use: std::mutex is not constexpr with mingw's winpthreads.
std::mutex& SocketsLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

CWinApp::CWinApp(LPCTSTR lpszAppName)
    : m_strAppName(lpszAppName != nullptr ? CString(lpszAppName) : tavrin::platform::ModuleName())
{
    m_pszAppName = m_strAppName;
    g_app.store(this);
}

CWinApp::~CWinApp()
{
    CWinApp* self = this;
    g_app.compare_exchange_strong(self, nullptr);
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

CWinApp* AfxGetApp()
{
    return g_app.load();
}

BOOL AfxSocketInit(WSADATA* lpwsaData)
{
    std::lock_guard lock(SocketsLock());
    if (g_socketsStarted)
        return TRUE;
    WSADATA data{};
    if (lpwsaData == nullptr)
        lpwsaData = &data;
    if (WSAStartup(MAKEWORD(1, 1), lpwsaData) != 0)
        return FALSE;
    // A layer that only offers a later version would hand the module
    // semantics it was not written for.
    if (lpwsaData->wVersion != MAKEWORD(1, 1)) {
        WSACleanup();
        return FALSE;
    }
    // No WSACleanup when the module goes: the sockets layer lives in this
    // same module and goes with it, and a cleanup among the static
    // destructors could reach that layer's state after it has been torn
    // down.
    g_socketsStarted = true;
    return TRUE;
}

ProcessAttach::ProcessAttach()
{
    if (g_attached.exchange(true))
        return;
    CWinApp* app = AfxGetApp();
    // As MFC's entry point: a module without an application object starts.
    const bool started = app == nullptr || app->InitInstance() != FALSE;
    g_startup.store(started ? Startup::Succeeded : Startup::Failed);
}

BOOL ModuleStartupSucceeded()
{
    return g_startup.load() == Startup::Succeeded ? TRUE : FALSE;
}
