// Two in-process devices joined like a null-modem cable: what one writes
// the other receives, from a thread of its own, in order, as if from a line.
#pragma once

#include <tavrin/Tavrin.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrin::tool {

class NullModemDevice : public CDevice {
public:
    NullModemDevice(const char* name, FILE* wireLog);
    ~NullModemDevice() override;

    void Join(NullModemDevice& peer);
    BOOL Write(BYTE* pBuffer, DWORD dwLength) override;
    void GetName(CString& strName) override { strName = m_name.c_str(); }
    DWORD Mode() const { return m_dwMode; }

private:
    void Receive(std::vector<BYTE> block);
    void LineThread();

    std::string m_name;
    FILE* m_wireLog;
    NullModemDevice* m_peer = nullptr;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::vector<BYTE>> m_blocks;
    bool m_stopping = false;
    std::thread m_line;
};

}  // namespace tavrin::tool
