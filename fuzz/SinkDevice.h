// The device the fuzz targets write to: it counts what it is given instead
// of sending it, keeps the bytes written since the last Clear, and lets the
// target feed received blocks.
#pragma once

#include <tavrin/Tavrin.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

namespace tavrin::fuzz {

class SinkDevice : public CDevice {
public:
    BOOL Write(BYTE* pBuffer, DWORD dwLength) override
    {
        if (dwLength > 0 && !pBuffer)
            std::abort();
        written += dwLength;
        if (keepBytes) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_bytes.append(reinterpret_cast<const char*>(pBuffer), dwLength);
        }
        return TRUE;
    }
    void SendBreak() override { ++breaks; }
    // A script line is written only while the device counts as connected.
    BOOL IsConnected() override { return alwaysConnected ? TRUE : CDevice::IsConnected(); }
    void Feed(BYTE* pData, DWORD dwLength) { DataDone(pData, dwLength); }

    // The bytes written since the last call, which forgets them.
    std::string TakeBytes()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string bytes;
        bytes.swap(m_bytes);
        return bytes;
    }

    bool alwaysConnected = false;
    bool keepBytes = false;
    std::atomic<size_t> written{0};
    std::atomic<size_t> breaks{0};

private:
    std::mutex m_lock;
    std::string m_bytes;
};

}  // namespace tavrin::fuzz
