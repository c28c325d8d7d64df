// The device the fuzz targets write to: it counts what it is given instead
// of sending it, and lets the target feed received blocks.
#pragma once

#include <tavrin/Tavrin.h>

#include <atomic>
#include <cstdlib>

namespace tavrin::fuzz {

class SinkDevice : public CDevice {
public:
    BOOL Write(BYTE* pBuffer, DWORD dwLength) override
    {
        if (dwLength > 0 && !pBuffer)
            std::abort();
        written += dwLength;
        return TRUE;
    }
    void SendBreak() override { ++breaks; }
    // A script line is written only while the device counts as connected.
    BOOL IsConnected() override { return alwaysConnected ? TRUE : CDevice::IsConnected(); }
    void Feed(BYTE* pData, DWORD dwLength) { DataDone(pData, dwLength); }

    bool alwaysConnected = false;
    std::atomic<size_t> written{0};
    std::atomic<size_t> breaks{0};
};

}  // namespace tavrin::fuzz
