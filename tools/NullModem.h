// Two in-process devices joined like a null-modem cable: what one writes
// the other receives, from a line thread of its own, in order, as if from a
// wire. The tavrin host's packet demo and the tests use the same cable.
#pragma once

#include <tavrin/Tavrin.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrin::tool {

class NullModemDevice : public CDevice {
public:
    // Called on the writing thread for every block that goes on the wire.
    using WireTap = std::function<void(const NullModemDevice& from, const NullModemDevice& to, const BYTE* pData,
                                       DWORD dwLength)>;

    explicit NullModemDevice(std::string name = "line", WireTap tap = {});
    ~NullModemDevice() override;

    void Join(NullModemDevice& peer);
    BOOL Write(BYTE* pBuffer, DWORD dwLength) override;
    void GetName(CString& strName) override { strName = m_name.c_str(); }
    const std::string& Name() const { return m_name; }
    DWORD Mode() const { return m_dwMode; }
    // Everything this end has written so far.
    std::string WrittenBytes() const;

private:
    void Receive(std::vector<BYTE> block);
    void LineThread();

    std::string m_name;
    WireTap m_tap;
    NullModemDevice* m_peer = nullptr;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::vector<BYTE>> m_blocks;
    std::string m_written;
    bool m_stopping = false;
    std::thread m_line;
};

}  // namespace tavrin::tool
