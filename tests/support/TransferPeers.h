// One end of a file transfer as a host runs it: a device made transparent,
// a window thread whose DEVMSG_DATA notifications feed a CFileTransfer, and
// the files the transfer tests compare. The transfer's XFER_ events go to
// the same window, message kXferMessage.
//
//   TransferEnd end;
//   ASSERT_TRUE(end.OpenSerial(ptyPath)) << end.Error();   // or OpenTcp(port)
//   ASSERT_TRUE(end.Transfer().Send(XFER_YMODEM, {file}));
//   ASSERT_TRUE(end.Finish(60000));
#pragma once

#include <tavrin/Tavrin.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "WindowThread.h"

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

class TransferEnd {
public:
    TransferEnd();
    // Cancels a running transfer and disconnects, each with a bound.
    ~TransferEnd();
    TransferEnd(const TransferEnd&) = delete;
    TransferEnd& operator=(const TransferEnd&) = delete;

    // A CCom on path at baud, 8N1 without flow control (Xon/Xoff would take
    // 0x11 and 0x13 out of the data).
    bool OpenSerial(const std::string& path, DWORD baud = 115200);
    // A CLan connected to 127.0.0.1:port.
    bool OpenTcp(int port);
    const std::string& Error() const { return m_error; }

    CDevice& Device() { return *m_device; }
    CFileTransfer& Transfer() { return *m_transfer; }
    WindowThread& Window() { return m_window; }
    // Waits up to ms for the transfer's end; on time-out cancels it and
    // waits once more, so that no transfer outlives the test. False on
    // time-out.
    bool Finish(DWORD ms);
    // When the transfer last posted event (XFER_FILE_STARTED ...), as the
    // window thread saw it.
    std::chrono::steady_clock::time_point EventTime(int event) const;

private:
    bool Opened(BOOL connected, const std::string& what);

    mutable std::mutex m_lock;
    std::map<int, std::chrono::steady_clock::time_point> m_events;
    WindowThread m_window;
    std::unique_ptr<CDevice> m_device;
    std::unique_ptr<CFileTransfer> m_transfer;
    std::string m_error;
};

// size bytes that are a pure function of (size, seed), with every byte
// value once in every 256 and never 0x1A last (a protocol without a size
// cannot tell that byte from padding).
std::string TransferTestBytes(std::size_t size, unsigned seed = 1);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace tavrin::test
