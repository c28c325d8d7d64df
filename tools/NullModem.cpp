#include "NullModem.h"

namespace tavrin::tool {

NullModemDevice::NullModemDevice(std::string name, WireTap tap) : m_name(std::move(name)), m_tap(std::move(tap))
{
    m_line = std::thread([this] { LineThread(); });
}

NullModemDevice::~NullModemDevice()
{
    // The workers first, so that nothing more is written to the peer.
    Disconnect();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_line.join();
}

void NullModemDevice::Join(NullModemDevice& peer)
{
    m_peer = &peer;
    peer.m_peer = this;
}

BOOL NullModemDevice::Write(BYTE* pBuffer, DWORD dwLength)
{
    if (!m_peer || dwLength == 0)
        return TRUE;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_written.append(reinterpret_cast<const char*>(pBuffer), dwLength);
    }
    if (m_tap)
        m_tap(*this, *m_peer, pBuffer, dwLength);
    m_peer->Receive(std::vector<BYTE>(pBuffer, pBuffer + dwLength));
    return TRUE;
}

std::string NullModemDevice::WrittenBytes() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_written;
}

void NullModemDevice::Receive(std::vector<BYTE> block)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_blocks.push_back(std::move(block));
    }
    m_changed.notify_all();
}

void NullModemDevice::LineThread()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_blocks.empty(); });
        if (m_stopping)
            return;
        std::vector<BYTE> block = std::move(m_blocks.front());
        m_blocks.pop_front();
        lock.unlock();
        DataDone(block.data(), static_cast<DWORD>(block.size()));
        lock.lock();
    }
}

}  // namespace tavrin::tool
