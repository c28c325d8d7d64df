// POSIX backend of the serial calls: CreateFileA with the port names, and
// the Win32 comm functions, each resolving its handle to the port object.
#include "../Comm.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "CommPort.h"

namespace tavrin::posix {
namespace {

// "COMn" and "\\.\COMn" name a port by number: the environment variable
// TAVRIN_COMn when set, else /dev/ttyS<n-1>. Any other name is a path.
std::string ResolvePortPath(const char* name)
{
    std::string_view view(name);
    std::string_view rest = view;
    if (rest.substr(0, 4) == "\\\\.\\")
        rest.remove_prefix(4);
    bool isCom = rest.size() > 3 && std::toupper(static_cast<unsigned char>(rest[0])) == 'C' &&
                 std::toupper(static_cast<unsigned char>(rest[1])) == 'O' &&
                 std::toupper(static_cast<unsigned char>(rest[2])) == 'M' && rest.size() <= 3 + 9;
    unsigned long number = 0;
    for (std::size_t i = 3; isCom && i < rest.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(rest[i])))
            isCom = false;
        else
            number = number * 10 + static_cast<unsigned long>(rest[i] - '0');
    }
    if (!isCom || number == 0)
        return std::string(view);
    std::string variable = "TAVRIN_COM" + std::to_string(number);
    if (const char* mapped = std::getenv(variable.c_str()); mapped && *mapped)
        return mapped;
    return "/dev/ttyS" + std::to_string(number - 1);
}

DWORD Win32FromOpenErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EBUSY:
    case EACCES:
    case EPERM:
    case EISDIR:
    case EWOULDBLOCK:
        return ERROR_ACCESS_DENIED;
    case ENOTTY:
    case EINVAL:
        return ERROR_NOT_SUPPORTED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Keeps the port object alive for the length of one call, even if another
// thread closes its last handle meanwhile.
class PortRef {
public:
    explicit PortRef(HANDLE handle)
    {
        StripeLock lock(handle);
        m_port = LookupKindLocked<CommPort>(handle, SyncObject::Kind::CommFile);
        if (m_port)
            ++m_port->internalRefs;
    }
    ~PortRef()
    {
        if (!m_port)
            return;
        StripeLock lock(static_cast<SyncObject*>(m_port));
        --m_port->internalRefs;
        DeleteIfUnreferencedLocked(m_port);
    }
    PortRef(const PortRef&) = delete;
    PortRef& operator=(const PortRef&) = delete;

    explicit operator bool() const { return m_port != nullptr; }
    CommPort* operator->() const { return m_port; }

private:
    CommPort* m_port = nullptr;
};

BOOL InvalidHandle()
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

}  // namespace
}  // namespace tavrin::posix

using namespace tavrin::posix;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, void*, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE)
{
    if (!lpFileName || dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int error = 0;
    std::unique_ptr<LineDriver> driver;
    const char* scriptedName = nullptr;
    if (IsScriptedPath(lpFileName, scriptedName))
        driver = OpenScriptedDriver(scriptedName, error);
    else
        driver = OpenTtyDriver(ResolvePortPath(lpFileName).c_str(), error);
    if (!driver) {
        SetLastError(Win32FromOpenErrno(error));
        return INVALID_HANDLE_VALUE;
    }
    auto* port = new (std::nothrow) CommPort(std::move(driver), (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
    if (!port) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    DWORD startError = ERROR_SUCCESS;
    if (!port->Start(startError)) {
        port->Stop();
        delete port;
        SetLastError(startError);
        return INVALID_HANDLE_VALUE;
    }
    return RegisterObject(port);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    PortRef port(hFile);
    return port ? port->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped) : InvalidHandle();
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    PortRef port(hFile);
    return port ? port->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped)
                : InvalidHandle();
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait)
{
    PortRef port(hFile);
    return port ? port->Result(lpOverlapped, lpNumberOfBytesTransferred, bWait) : InvalidHandle();
}

BOOL WINAPI CancelIo(HANDLE hFile)
{
    PortRef port(hFile);
    return port ? port->Cancel() : InvalidHandle();
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD, DWORD)
{
    // The driver's queues have fixed sizes; there is nothing to set.
    PortRef port(hFile);
    return port ? TRUE : InvalidHandle();
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    PortRef port(hFile);
    return port ? port->GetTimeouts(lpCommTimeouts) : InvalidHandle();
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    PortRef port(hFile);
    if (!port)
        return InvalidHandle();
    if (!lpCommTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->SetTimeouts(*lpCommTimeouts);
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    PortRef port(hFile);
    return port ? port->GetState(lpDCB) : InvalidHandle();
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    PortRef port(hFile);
    if (!port)
        return InvalidHandle();
    if (!lpDCB) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->SetState(*lpDCB);
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    PortRef port(hFile);
    return port ? port->Escape(dwFunc) : InvalidHandle();
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    PortRef port(hFile);
    return port ? port->ModemStatus(lpModemStat) : InvalidHandle();
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    PortRef port(hFile);
    return port ? port->SetMask(dwEvtMask) : InvalidHandle();
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    PortRef port(hFile);
    return port ? port->GetMask(lpEvtMask) : InvalidHandle();
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    PortRef port(hFile);
    return port ? port->WaitEvent(lpEvtMask, lpOverlapped) : InvalidHandle();
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    PortRef port(hFile);
    return port ? port->ClearError(lpErrors, lpStat) : InvalidHandle();
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    PortRef port(hFile);
    return port ? port->Purge(dwFlags) : InvalidHandle();
}

BOOL WINAPI SetCommBreak(HANDLE hFile)
{
    PortRef port(hFile);
    return port ? port->SetBreak(true) : InvalidHandle();
}

BOOL WINAPI ClearCommBreak(HANDLE hFile)
{
    PortRef port(hFile);
    return port ? port->SetBreak(false) : InvalidHandle();
}
