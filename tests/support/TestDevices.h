// Devices derived from CDevice, as a host may derive its own, to reach the
// protected operations and to watch what the library writes.
#pragma once

#include <tavrin/Tavrin.h>

#include <mutex>
#include <string>
#include <vector>

namespace tavrin::test {

class ProbeDevice : public CDevice {
public:
    ProbeDevice() = default;
    ProbeDevice(ProbeDevice& other) : CDevice(other) {}

    using CDevice::ConnectDone;
    using CDevice::DataDone;
    using CDevice::DisconnectDone;
    using CDevice::ErrorDone;
    using CDevice::IsEnableNotify;
    using CDevice::IsLinkedDevice;

    void SetSettings(const char* connect, const char* disconnect, BOOL autoOnline, BOOL sendDisconnect,
                     BOOL sendConnect)
    {
        m_strConnectCommand = connect;
        m_strDisconnectCommand = disconnect;
        m_bAutoOnline = autoOnline;
        m_bSendDisconnectCommand = sendDisconnect;
        m_bSendConnectCommand = sendConnect;
    }
    const CString& ConnectCommand() const { return m_strConnectCommand; }
    const CString& DisconnectCommand() const { return m_strDisconnectCommand; }
    BOOL SendDisconnectSwitch() const { return m_bSendDisconnectCommand; }
    BOOL SendConnectSwitch() const { return m_bSendConnectCommand; }
    DWORD Mode() const { return m_dwMode; }
    HWND NotifyWindow() const { return m_hNotifyWnd; }
    bool HasStopEvent() const { return m_pStopEvent != nullptr; }
    // The queue is shared with the courier thread: read it under its lock.
    int PendingCount()
    {
        CSingleLock lock(&m_mtxPending, TRUE);
        return m_lstPendingCommands.GetCount();
    }

    // Handles of the running workers that outlive the device's own, so a
    // test can see when the threads have ended.
    std::vector<HANDLE> DuplicateWorkerThreads() const
    {
        std::vector<HANDLE> handles;
        for (const WorkerSlot& slot : m_Workers) {
            HANDLE copy = nullptr;
            if (slot.hThread &&
                DuplicateHandle(GetCurrentProcess(), slot.hThread, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS))
                handles.push_back(copy);
        }
        return handles;
    }
};

// Records every Write and SendBreak ("W:<bytes>", "B") instead of sending.
class RecordingDevice : public CDevice {
public:
    BOOL Write(BYTE* pBuffer, DWORD dwLength) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_ops.push_back("W:" + std::string(reinterpret_cast<const char*>(pBuffer), dwLength));
        return TRUE;
    }
    void SendBreak() override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_ops.emplace_back("B");
    }
    std::vector<std::string> Ops()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_ops;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_ops;
};

// Writes the bytes of a string to the device.
inline BOOL WriteText(CDevice& device, const std::string& text)
{
    std::vector<BYTE> bytes(text.begin(), text.end());
    return device.Write(bytes.data(), static_cast<DWORD>(bytes.size()));
}

inline bool AllEnded(const std::vector<HANDLE>& threads, DWORD timeout)
{
    if (threads.empty())
        return true;
    return WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, timeout) ==
           WAIT_OBJECT_0;
}

inline void CloseAll(std::vector<HANDLE>& handles)
{
    for (HANDLE handle : handles)
        CloseHandle(handle);
    handles.clear();
}

}  // namespace tavrin::test
