// What the protocol engines share: the link (bytes in from the host, out
// through the device), the progress report, and the files on this side. An
// engine is a plain function that runs on the transfer's thread and returns
// when its transfer is over.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../platform/Archive.h"
#include "FileTransfer.h"

namespace tavrin::transfer {

using Clock = std::chrono::steady_clock;

// The received bytes, queued by the host's thread, read by the engine with
// a time-out; the writes go to the device.
class Link {
public:
    explicit Link(CDevice& device) : m_device(device) {}

    // From the host: bytes that arrived.
    void Push(const BYTE* data, std::size_t size);
    void Cancel();
    bool Cancelled() const;

    // The next byte, or nothing when timeoutMs passed first or the transfer
    // was cancelled.
    std::optional<BYTE> ReadByte(DWORD timeoutMs);
    // Up to max bytes: waits up to timeoutMs for the first, takes what else
    // is queued. 0 on time-out or cancel.
    std::size_t Read(BYTE* buffer, std::size_t max, DWORD timeoutMs);
    // Throws away what arrives until the line has been quiet for quietMs
    // (at most limitMs), as a receiver does before it NAKs a bad block.
    void Drain(DWORD quietMs, DWORD limitMs = 10000);
    // Every byte written (the device's Write): false when the device
    // refused them.
    bool Write(const void* data, std::size_t size);
    bool Write(const std::string& bytes) { return Write(bytes.data(), bytes.size()); }
    // Writes even after Cancel: for the few bytes that tell the far side
    // the transfer is over (CAN CAN ...).
    bool WriteUrgent(const void* data, std::size_t size);
    // Whether the device is still connected: an engine that hears nothing
    // asks before it waits again for a peer that has gone.
    bool DeviceConnected() const;

private:
    CDevice& m_device;
    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<BYTE> m_queue;
    bool m_cancelled = false;
};

// What the engine tells the host.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void FileStarted(const std::string& name, unsigned long long size) = 0;
    // Bytes of the current file so far.
    virtual void Progress(unsigned long long done) = 0;
    virtual void FileDone(const XferFileResult& result) = 0;
};

// A file to send.
class FileSource {
public:
    // Opens path; false with error set.
    bool Open(const std::string& path, std::string& error);
    const std::string& Path() const { return m_path; }
    // The last component of the path: what the receiver is told.
    const std::string& Name() const { return m_name; }
    unsigned long long Size() const { return m_size; }
    long long Modified() const { return m_modified; }
    // Up to size bytes from offset; fewer at the end.
    std::size_t ReadAt(unsigned long long offset, BYTE* buffer, std::size_t size);

private:
    CFile m_file;
    std::string m_path, m_name;
    unsigned long long m_size = 0;
    long long m_modified = 0;
};

// A file being received into a directory. Never writes outside it, writes
// under a temporary name, and puts the file under its own name only when it
// is complete.
class FileSink {
public:
    FileSink(std::string dir, XferReceiveOptions options) : m_dir(std::move(dir)), m_options(options) {}
    ~FileSink();

    // Checks the name the sender gave and opens the temporary file: false,
    // with error set, for a name that is empty, absolute, has a folder part
    // or "..", a control character, a device name of Windows (CON, COM1 ...),
    // or names an existing file while overwriting is off. With resume, a
    // temporary file left by a failed transfer of this name is kept and its
    // length is the offset to continue from.
    bool Begin(const std::string& name, std::string& error);
    unsigned long long Offset() const { return m_written; }
    // Starts over from 0 (the sender will not resume).
    bool Restart(std::string& error);
    bool Write(const BYTE* data, std::size_t size, std::string& error);
    // Up to size bytes of what is written so far, from offset, read back
    // (a resumed file's prefix is checked this way); writing goes on at
    // the end. 0 when nothing can be read.
    std::size_t ReadBack(unsigned long long offset, BYTE* buffer, std::size_t size);
    // Flushes, checks the length when one is expected, and renames into
    // place; false with error set (the temporary file is removed).
    bool Commit(std::optional<unsigned long long> expectedSize, long long modified, std::string& error);
    // Removes the temporary file, or keeps it for a resume.
    void Abandon(bool keepForResume);

    const std::string& FinalPath() const { return m_final; }
    // The name checks alone (also for tests and the tool).
    static bool SafeName(const std::string& name, std::string& why);

private:
    std::string m_dir;
    XferReceiveOptions m_options;
    std::string m_final, m_temporary;
    CFile m_file;
    bool m_open = false;
    unsigned long long m_written = 0;
};

// The engines. Each returns true when every file went or came whole; on
// false, error says why in a sentence a user can act on.
struct Job {
    XferProtocol protocol;
    std::vector<std::string> files;  // to send
    std::string dir;                 // to receive into
    XferReceiveOptions options;
    std::string xmodemFileName;
};

bool SendXmodem(Link& link, Reporter& reporter, const Job& job, std::string& error);
bool ReceiveXmodem(Link& link, Reporter& reporter, const Job& job, std::string& error);
bool SendZmodem(Link& link, Reporter& reporter, const Job& job, std::string& error);
bool ReceiveZmodem(Link& link, Reporter& reporter, const Job& job, std::string& error);
bool SendPacketFiles(Link& link, Reporter& reporter, const Job& job, std::string& error);
bool ReceivePacketFiles(Link& link, Reporter& reporter, const Job& job, std::string& error);

}  // namespace tavrin::transfer
