// CFileTransfer: files sent or received over any device of the library with
// XMODEM, YMODEM, ZMODEM or the library's own packet frames.
//
// The transfer runs on a thread of its own. It writes with the device's
// Write, and takes the received bytes from the host, which passes on what
// its DEVMSG_DATA notifications bring (OnData) while a transfer runs, so
// the host's window thread never waits for the protocol. The device should
// be transparent (SetTransparent) so that no packet-link or script worker
// claims protocol bytes.
//
//   CFileTransfer xfer(device);
//   xfer.EnableNotify(hWnd, WM_APP + 9);          // wParam: XFER_ events
//   xfer.Send(XFER_YMODEM, {"image.bin"});
//   ... in the DEVMSG_DATA handler: xfer.OnData(bytes, count);
//   ... on XFER_FINISHED: xfer.Succeeded(), xfer.GetError(), GetResults()
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../core/Device.h"

enum XferProtocol : int {
    XFER_XMODEM = 0,     // 128-byte blocks, CRC-16 or checksum as the receiver asks
    XFER_XMODEM_1K = 1,  // 1024-byte blocks, CRC-16
    XFER_YMODEM = 2,     // batch: name, size and time in block 0
    XFER_YMODEM_G = 3,   // YMODEM streamed without acknowledgements, for reliable links
    XFER_ZMODEM = 4,     // CRC-32, streaming, error recovery and resume
    XFER_PACKET = 5,     // two devices of this library: the packet frames, SHA-256 checked
};

// wParam of the host's message; lParam is 0. What they tell is read with
// GetProgress and, at the end, GetResults.
enum : int {
    XFER_FILE_STARTED = 1,
    XFER_PROGRESS = 2,  // at most about ten a second
    XFER_FILE_DONE = 3,
    XFER_FINISHED = 4,  // the thread has ended; the transfer is over
};

struct XferProgress {
    std::string file;             // name as sent or received
    unsigned long long size = 0;  // 0 when the protocol does not tell it
    unsigned long long done = 0;  // bytes of this file so far
    unsigned fileIndex = 0;       // 1 for the first file
    unsigned long long totalDone = 0;
    DWORD elapsedMs = 0;          // since the transfer started
};

struct XferFileResult {
    std::string name;  // as sent or received
    std::string path;  // where it is on this side
    unsigned long long size = 0;
    bool complete = false;
    std::string error;  // why not, when not
};

struct XferReceiveOptions {
    bool overwrite = false;  // replace an existing file of the same name
    bool resume = true;      // ZMODEM and packet: continue a partial file left by a failed transfer
};

namespace tavrin::transfer {
class Session;
}

class TAVRIN_API CFileTransfer {
public:
    explicit CFileTransfer(CDevice& device);
    // Cancels a running transfer and waits for its thread.
    ~CFileTransfer();
    CFileTransfer(const CFileTransfer&) = delete;
    CFileTransfer& operator=(const CFileTransfer&) = delete;

    // The window and message number of the XFER_ notifications (posted).
    void EnableNotify(HWND hWnd, UINT uMessage);

    // Starts sending the files (XMODEM takes exactly one). FALSE when a
    // transfer runs, the protocol is unknown or a file cannot be read; the
    // reason is in GetError.
    BOOL Send(XferProtocol protocol, const std::vector<std::string>& files);
    // Starts receiving into dir (XMODEM: the one file named by
    // xmodemFileName, a plain name). A receiver never writes outside dir,
    // writes to a temporary name and renames only a complete, checked file.
    BOOL Receive(XferProtocol protocol, const std::string& dir, const XferReceiveOptions& options = {},
                 const std::string& xmodemFileName = {});

    // The bytes the device received; any thread, in order.
    void OnData(const BYTE* pData, DWORD dwLength);
    // Ends a running transfer: the far side is told where the protocol can
    // tell it (CAN CAN ...), a partial file is removed or, where it can be
    // resumed, kept under its temporary name.
    void Cancel();
    // TRUE once the transfer is over (at once when none ran).
    BOOL WaitForEnd(DWORD dwMilliseconds);
    BOOL IsRunning() const;

    void GetProgress(XferProgress& progress) const;
    // Every file arrived (or went) whole.
    BOOL Succeeded() const;
    std::string GetError() const;
    std::vector<XferFileResult> GetResults() const;

private:
    std::shared_ptr<tavrin::transfer::Session> Current() const;
    void Begin(std::shared_ptr<tavrin::transfer::Session> session);

    CDevice& m_device;
    // OnData and Cancel come from any thread, while Send or Receive may be
    // replacing the session.
    mutable std::mutex m_sessionLock;
    std::shared_ptr<tavrin::transfer::Session> m_session;
    HWND m_hWnd = nullptr;
    UINT m_uMessage = 0;
    // Why the last Send or Receive did not start.
    std::string m_strStartError;
};
