// Two line devices joined like a null-modem cable: what one writes, the
// other receives on its line thread, in order.
#pragma once

#include "LineDevice.h"

namespace tavrin::test {

class NullModemDevice : public LineDevice {
public:
    ~NullModemDevice() override { Disconnect(); }

    void Join(NullModemDevice& peer)
    {
        m_peer = &peer;
        peer.m_peer = this;
    }

    BOOL Write(BYTE* pBuffer, DWORD dwLength) override
    {
        LineDevice::Write(pBuffer, dwLength);
        if (m_peer)
            m_peer->ReceiveAsync(std::string(reinterpret_cast<const char*>(pBuffer), dwLength));
        return TRUE;
    }

    // Everything written so far, breaks left out.
    std::string WrittenBytes() const
    {
        std::string all;
        for (const LineOp& op : Ops())
            all += op.bytes;
        return all;
    }

private:
    NullModemDevice* m_peer = nullptr;
};

}  // namespace tavrin::test
