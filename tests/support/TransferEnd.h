// One end of a file transfer as a host runs it: a transparent device whose
// window, on a thread of its own, passes every received byte to the end's
// CFileTransfer, and hears the transfer's XFER_ events (message
// kXferMessage). Also the files the transfer tests send and compare.
//
//   TransferEnd end;
//   ASSERT_TRUE(end.OpenSerial(ptyPath)) << end.Error();   // or OpenTcp(port)
//   ASSERT_TRUE(end.Transfer().Send(XFER_YMODEM, {file}));
//   ASSERT_TRUE(end.Finish(60000));
#pragma once

#include <tavrin/Tavrin.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/WindowThread.h"

namespace tavrin::test {

inline constexpr UINT kXferMessage = WM_APP + 0x30;

// The sanitizers slow our side several times and lrzsz's not at all: rate
// comparisons hold only in an uninstrumented build, and the large rows of
// the size tables shrink there to keep the instrumented suites' time down
// (the edges of the tables stay).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
constexpr std::size_t LargeRow(std::size_t full, std::size_t sanitized) { return kSanitized ? sanitized : full; }

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
    TransferEnd();
    // OpenSerial(path) at once; Ready() tells how it went.
    explicit TransferEnd(const std::string& serialPath);
    // Cancels a running transfer and disconnects, each with a bound.
    ~TransferEnd();
    TransferEnd(const TransferEnd&) = delete;
    TransferEnd& operator=(const TransferEnd&) = delete;

    // A WatchedCom on path at baud, 8N1 without flow control (Xon/Xoff
    // would take 0x11 and 0x13 out of the data).
    bool OpenSerial(const std::string& path, DWORD baud = 115200);
    // A CLan connected to 127.0.0.1:port.
    bool OpenTcp(int port);
    // A CLan listening on a free loopback port (returned; 0 when none): the
    // first caller becomes this end's device. AwaitCaller waits for it.
    int Listen();
    bool AwaitCaller(DWORD ms = 10000);
    bool Ready() const { return m_ready; }
    const std::string& Error() const { return m_error; }

    CDevice& Device() { return *m_device; }
    // The serial port OpenSerial made.
    WatchedCom& Com() { return *m_com; }
    CFileTransfer& Transfer() { return *m_transfer; }
    WindowThread& Window() { return m_window; }
    // Waits up to ms for the transfer's end; on time-out cancels it and
    // waits once more, so that no transfer outlives the test. False on
    // time-out.
    bool Finish(DWORD ms = 60000);
    // Waits, bounded, until the current file has at least bytes done; false
    // when the transfer ended first.
    bool WaitForProgress(unsigned long long bytes, DWORD ms = 30000);
    // When the transfer last posted event (XFER_FILE_STARTED ...), as the
    // window thread saw it.
    std::chrono::steady_clock::time_point EventTime(int event) const;

private:
    bool Opened(std::unique_ptr<CDevice> device, const std::function<BOOL()>& connect, const std::string& what);

    mutable std::mutex m_lock;
    std::condition_variable m_progressed;
    std::map<int, std::chrono::steady_clock::time_point> m_events;
    WindowThread m_window;
    std::unique_ptr<CLan> m_listener;
    std::unique_ptr<CDevice> m_device;
    WatchedCom* m_com = nullptr;
    std::unique_ptr<CFileTransfer> m_transfer;
    std::atomic<bool> m_ready{false};
    std::string m_error;
};

// size bytes that are a pure function of (size, seed), with every byte
// value once in every 256 and never 0x1A last (a protocol without a size
// cannot tell that byte from padding).
std::string TransferTestBytes(std::size_t size, unsigned seed = 1);
// One file of TransferTestBytes per size in dir, named file-SIZE.bin; their
// paths.
std::vector<std::string> MakeTransferFiles(const std::string& dir, const std::vector<std::size_t>& sizes,
                                           unsigned seed = 1);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path);

// The sizes every transfer protocol is tried with: the edges of 128- and
// 1024-byte blocks, and a few MiB.
inline const std::vector<std::size_t> kTransferSizes = {0, 1, 127, 128, 129, 1023, 1024, 1025, LargeRow(3u << 20, 384u << 10)};

}  // namespace tavrin::test
