#include "support/TransferEnd.h"

#include "support/SocketPeer.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>

namespace tavrin::test {

BOOL WatchedCom::Write(BYTE* pBuffer, DWORD dwLength)
{
    std::string bytes(reinterpret_cast<const char*>(pBuffer), dwLength);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_tamper)
            m_tamper(bytes);
    }
    m_written += bytes.size();
    return CCom::Write(reinterpret_cast<BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
}

void WatchedCom::SetTamper(Tamper tamper)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_tamper = std::move(tamper);
}

TransferEnd::TransferEnd()
{
    m_window.SetHook([this](const Notice& notice) -> LRESULT {
        if (notice.index == DEVMSG_CALL && m_listener && !m_device) {
            // Taken over inside the notification, as a server host does; the
            // caller's own notifications come to this thread only after it.
            auto lan = std::make_unique<CLan>();
            lan->SetTransparent(TRUE);
            m_window.Attach(*lan);
            if (lan->Connect(*m_listener)) {
                m_transfer = std::make_unique<CFileTransfer>(*lan);
                m_transfer->EnableNotify(m_window.Window(), kXferMessage);
                std::lock_guard lock(m_lock);
                m_device = std::move(lan);
                m_ready = true;
                m_progressed.notify_all();
            }
            return 0;
        }
        if (notice.index == DEVMSG_DATA && m_transfer)
            m_transfer->OnData(reinterpret_cast<const BYTE*>(notice.bytes.data()),
                               static_cast<DWORD>(notice.bytes.size()));
        if (notice.message == kXferMessage) {
            std::lock_guard lock(m_lock);
            m_events[static_cast<int>(notice.wParam)] = std::chrono::steady_clock::now();
            m_progressed.notify_all();
        }
        return 0;
    });
}

TransferEnd::TransferEnd(const std::string& serialPath) : TransferEnd() { OpenSerial(serialPath); }

TransferEnd::~TransferEnd()
{
    if (m_transfer) {
        m_transfer->Cancel();
        m_transfer->WaitForEnd(10000);
    }
    // Disconnect returns once the device's last notification has been
    // handled, so nothing reaches the transfer while it goes.
    if (m_listener)
        m_listener->Disconnect();
    if (m_device)
        m_device->Disconnect();
    m_transfer.reset();
    m_device.reset();
}

bool TransferEnd::Opened(std::unique_ptr<CDevice> device, const std::function<BOOL()>& connect,
                         const std::string& what)
{
    device->SetTransparent(TRUE);
    m_window.Attach(*device);
    m_transfer = std::make_unique<CFileTransfer>(*device);
    m_transfer->EnableNotify(m_window.Window(), kXferMessage);
    m_device = std::move(device);
    if (!connect()) {
        m_error = "cannot connect " + what;
        return false;
    }
    if (!m_window.WaitForIndex(DEVMSG_CONNECTED, 1, std::chrono::seconds(10))) {
        m_error = what + " did not report a connection";
        return false;
    }
    m_ready = true;
    return true;
}

bool TransferEnd::OpenSerial(const std::string& path, DWORD baud)
{
    auto com = std::make_unique<WatchedCom>();
    m_com = com.get();
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    const std::string mode = std::to_string(baud) + ",n,8,1";
    BuildCommDCBA(mode.c_str(), &dcb);
    dcb.fBinary = TRUE;
    WatchedCom* raw = m_com;
    return Opened(std::move(com), [raw, path, dcb]() mutable { return raw->Connect(path.c_str(), &dcb); }, path);
}

bool TransferEnd::OpenTcp(int port)
{
    auto lan = std::make_unique<CLan>();
    CLan* raw = lan.get();
    return Opened(std::move(lan), [raw, port] { return raw->Connect("127.0.0.1", static_cast<UINT>(port)); },
                  "127.0.0.1:" + std::to_string(port));
}

int TransferEnd::Listen()
{
    m_listener = std::make_unique<CLan>();
    m_window.Attach(*m_listener);
    for (int attempt = 0; attempt < 20; ++attempt) {
        const std::uint16_t port = UnusedTcpPort();
        if (m_listener->DoListening(port))
            return port;
    }
    m_error = "no loopback port to listen on";
    return 0;
}

bool TransferEnd::AwaitCaller(DWORD ms)
{
    std::unique_lock lock(m_lock);
    if (!m_progressed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_ready.load(); }))
        m_error = "no caller came";
    return m_ready.load();
}

bool TransferEnd::Finish(DWORD ms)
{
    if (m_transfer->WaitForEnd(ms))
        return true;
    m_transfer->Cancel();
    m_transfer->WaitForEnd(10000);
    return false;
}

bool TransferEnd::WaitForProgress(unsigned long long bytes, DWORD ms)
{
    const auto reached = [&] {
        XferProgress progress;
        m_transfer->GetProgress(progress);
        return progress.done >= bytes || !m_transfer->IsRunning();
    };
    std::unique_lock lock(m_lock);
    m_progressed.wait_for(lock, std::chrono::milliseconds(ms), reached);
    XferProgress progress;
    m_transfer->GetProgress(progress);
    return progress.done >= bytes;
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

std::vector<std::string> MakeTransferFiles(const std::string& dir, const std::vector<std::size_t>& sizes,
                                           unsigned seed)
{
    std::vector<std::string> paths;
    for (std::size_t size : sizes) {
        paths.push_back(dir + "/file-" + std::to_string(size) + ".bin");
        WriteWholeFile(paths.back(), TransferTestBytes(size, seed));
    }
    return paths;
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
