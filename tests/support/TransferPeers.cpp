#include "TransferPeers.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <numeric>
#include <random>
#include <sstream>
#include <vector>

namespace tavrin::test {

TransferEnd::TransferEnd()
{
    m_window.SetHook([this](const Notice& notice) -> LRESULT {
        if (notice.index == DEVMSG_DATA && m_transfer)
            m_transfer->OnData(reinterpret_cast<const BYTE*>(notice.bytes.data()),
                               static_cast<DWORD>(notice.bytes.size()));
        if (notice.message == kXferMessage) {
            std::lock_guard lock(m_lock);
            m_events[static_cast<int>(notice.wParam)] = std::chrono::steady_clock::now();
        }
        return 0;
    });
}

TransferEnd::~TransferEnd()
{
    if (m_transfer) {
        m_transfer->Cancel();
        m_transfer->WaitForEnd(10000);
    }
    if (m_device)
        m_device->Disconnect();
    m_transfer.reset();
    m_device.reset();
}

bool TransferEnd::Opened(BOOL connected, const std::string& what)
{
    if (!connected) {
        m_error = "cannot connect " + what;
        return false;
    }
    if (!m_window.WaitForIndex(DEVMSG_CONNECTED, 1, std::chrono::seconds(10))) {
        m_error = what + " did not report a connection";
        return false;
    }
    return true;
}

bool TransferEnd::OpenSerial(const std::string& path, DWORD baud)
{
    auto com = std::make_unique<CCom>();
    com->SetTransparent(TRUE);
    m_window.Attach(*com);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    const std::string mode = std::to_string(baud) + ",n,8,1";
    BuildCommDCBA(mode.c_str(), &dcb);
    dcb.fBinary = TRUE;
    m_transfer = std::make_unique<CFileTransfer>(*com);
    m_transfer->EnableNotify(m_window.Window(), kXferMessage);
    CCom* raw = com.get();
    m_device = std::move(com);
    return Opened(raw->Connect(path.c_str(), &dcb), path);
}

bool TransferEnd::OpenTcp(int port)
{
    auto lan = std::make_unique<CLan>();
    lan->SetTransparent(TRUE);
    m_window.Attach(*lan);
    m_transfer = std::make_unique<CFileTransfer>(*lan);
    m_transfer->EnableNotify(m_window.Window(), kXferMessage);
    CLan* raw = lan.get();
    m_device = std::move(lan);
    return Opened(raw->Connect("127.0.0.1", static_cast<UINT>(port)), "127.0.0.1:" + std::to_string(port));
}

bool TransferEnd::Finish(DWORD ms)
{
    if (m_transfer->WaitForEnd(ms))
        return true;
    m_transfer->Cancel();
    m_transfer->WaitForEnd(10000);
    return false;
}

std::chrono::steady_clock::time_point TransferEnd::EventTime(int event) const
{
    std::lock_guard lock(m_lock);
    const auto found = m_events.find(event);
    return found == m_events.end() ? std::chrono::steady_clock::time_point{} : found->second;
}

std::string TransferTestBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed * 7919u + static_cast<unsigned>(size));
    std::string bytes(size, '\0');
    for (std::size_t at = 0; at < size; at += 256) {
        std::vector<unsigned char> values(256);
        std::iota(values.begin(), values.end(), 0);
        std::shuffle(values.begin(), values.end(), random);
        std::copy_n(values.begin(), std::min<std::size_t>(256, size - at), bytes.begin() + static_cast<long>(at));
    }
    if (!bytes.empty() && bytes.back() == 0x1A)
        bytes.back() = 0x1B;
    return bytes;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::optional<std::string> ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool FileExists(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

}  // namespace tavrin::test
