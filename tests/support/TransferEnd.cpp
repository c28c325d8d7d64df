#include "support/TransferEnd.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

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

TransferEnd::TransferEnd(const std::string& path) : m_transfer(m_device)
{
    m_window.SetHook([this](const Notice& n) {
        if (n.index == DEVMSG_DATA)
            m_transfer.OnData(reinterpret_cast<const BYTE*>(n.bytes.data()), static_cast<DWORD>(n.bytes.size()));
        return LRESULT{0};
    });
    m_window.Attach(m_device);
    m_device.SetTransparent(TRUE);
    // 8 data bits and no flow control: every byte value passes, XON and
    // XOFF included (the stored settings may ask for Xon/Xoff).
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    m_ready = m_device.Connect(path.c_str(), &dcb) && m_device.IsConnected();
}

TransferEnd::~TransferEnd()
{
    m_device.Disconnect();
    m_transfer.Cancel();
    m_transfer.WaitForEnd(10000);
}

bool TransferEnd::Finish(DWORD timeoutMs)
{
    if (m_transfer.WaitForEnd(timeoutMs))
        return true;
    m_transfer.Cancel();
    m_transfer.WaitForEnd(10000);
    return false;
}

bool TransferEnd::WaitForProgress(unsigned long long bytes, DWORD timeoutMs)
{
    // The progress has no event of its own here: it is read again at each
    // short wait for the transfer's end, which also ends the wait.
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        XferProgress progress;
        m_transfer.GetProgress(progress);
        if (progress.done >= bytes)
            return true;
        if (m_transfer.WaitForEnd(5))
            return false;
    }
    return false;
}

std::vector<std::string> MakeTransferFiles(const std::string& dir, const std::vector<std::size_t>& sizes,
                                           unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<std::string> paths;
    for (std::size_t size : sizes) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(i < 256 ? i : random() & 0xFF);
        paths.push_back(dir + "/file-" + std::to_string(size) + ".bin");
        WriteWholeFile(paths.back(), bytes);
    }
    return paths;
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

}  // namespace tavrin::test
