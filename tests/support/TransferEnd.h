// One end of a file transfer in a test: a device whose window, on a thread
// of its own, passes every received byte to the end's CFileTransfer, as a
// host does. Also the files the transfer tests send and compare.
#pragma once

#include <tavrin/Tavrin.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/WindowThread.h"

namespace tavrin::test {

// A serial port that counts what the library writes and lets a test
// change a write before it goes out (a line that damages data).
class WatchedCom : public CCom {
public:
    using Tamper = std::function<void(std::string&)>;
    BOOL Write(BYTE* pBuffer, DWORD dwLength) override;
    void SetTamper(Tamper tamper);
    unsigned long long Written() const { return m_written; }

private:
    std::mutex m_lock;
    Tamper m_tamper;
    std::atomic<unsigned long long> m_written{0};
};

class TransferEnd {
public:
    // Opens path (a pty) as a transparent serial port.
    explicit TransferEnd(const std::string& path);
    // Closes the port first, so no byte reaches a transfer being destroyed.
    ~TransferEnd();
    TransferEnd(const TransferEnd&) = delete;
    TransferEnd& operator=(const TransferEnd&) = delete;

    bool Ready() const { return m_ready; }
    WatchedCom& Device() { return m_device; }
    CFileTransfer& Transfer() { return m_transfer; }
    // Waits, bounded, for the transfer's end: false on the time-out (the
    // transfer is cancelled then, so that the test cannot hang).
    bool Finish(DWORD timeoutMs = 60000);
    // Waits, bounded, until the current file has at least bytes done.
    bool WaitForProgress(unsigned long long bytes, DWORD timeoutMs = 30000);

private:
    WatchedCom m_device;
    WindowThread m_window;
    CFileTransfer m_transfer;
    bool m_ready = false;
};

// Files of the given size whose bytes run through every value (random past
// the first 256), one per size, in dir; returns their paths.
std::vector<std::string> MakeTransferFiles(const std::string& dir, const std::vector<std::size_t>& sizes,
                                           unsigned seed = 1);
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// The sizes every transfer protocol is tried with: the edges of 128- and
// 1024-byte blocks, and a few MiB.
inline const std::vector<std::size_t> kTransferSizes = {0, 1, 127, 128, 129, 1023, 1024, 1025, 3u << 20};

}  // namespace tavrin::test
