#include "FileTransfer.h"

#include <thread>

#include "Session.h"
#include "../platform/Files.h"

namespace tavrin::transfer {

// ---- the link ---------------------------------------------------------------

void Link::Push(const BYTE* data, std::size_t size)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.insert(m_queue.end(), data, data + size);
    }
    m_arrived.notify_all();
}

void Link::Cancel()
{
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
    }
    m_arrived.notify_all();
}

bool Link::Cancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

std::optional<BYTE> Link::ReadByte(DWORD timeoutMs)
{
    BYTE b;
    if (Read(&b, 1, timeoutMs) == 1)
        return b;
    return std::nullopt;
}

std::size_t Link::Read(BYTE* buffer, std::size_t max, DWORD timeoutMs)
{
    std::unique_lock lock(m_mutex);
    const auto ready = [this] { return m_cancelled || !m_queue.empty(); };
    // A poll (0 ms) must not reach the condition variable: a zero wait is
    // still a futex call, and a streaming sender polls once a block.
    if (timeoutMs == 0 ? !ready() : !m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
        return 0;
    if (m_cancelled)
        return 0;
    std::size_t n = 0;
    while (n < max && !m_queue.empty()) {
        buffer[n++] = m_queue.front();
        m_queue.pop_front();
    }
    return n;
}

void Link::Drain(DWORD quietMs, DWORD limitMs)
{
    const auto limit = Clock::now() + std::chrono::milliseconds(limitMs);
    BYTE scratch[256];
    while (Clock::now() < limit && Read(scratch, sizeof scratch, quietMs) > 0) {
    }
}

bool Link::Write(const void* data, std::size_t size)
{
    if (Cancelled())
        return false;
    auto* p = static_cast<BYTE*>(const_cast<void*>(data));
    // The device takes at most a DWORD's worth at once; blocks of the
    // protocols are far smaller.
    return m_device.Write(p, static_cast<DWORD>(size)) != FALSE;
}

bool Link::DeviceConnected() const { return m_device.IsConnected() != FALSE; }

bool Link::WriteUrgent(const void* data, std::size_t size)
{
    auto* p = static_cast<BYTE*>(const_cast<void*>(data));
    return m_device.Write(p, static_cast<DWORD>(size)) != FALSE;
}

// ---- the session --------------------------------------------------------------

class Session : public Reporter {
public:
    Session(CDevice& device, Job job, HWND hWnd, UINT message)
        : m_link(device), m_job(std::move(job)), m_hWnd(hWnd), m_message(message), m_start(Clock::now())
    {
    }

    void Start(std::shared_ptr<Session> self)
    {
        m_thread = std::thread([self] { self->Run(); });
    }

    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    Link& GetLink() { return m_link; }

    bool WaitForEnd(DWORD ms)
    {
        std::unique_lock lock(m_mutex);
        return m_ended.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_finished; });
    }

    bool Finished() const
    {
        std::lock_guard lock(m_mutex);
        return m_finished;
    }

    XferProgress Progress() const
    {
        std::lock_guard lock(m_mutex);
        XferProgress progress = m_progress;
        progress.elapsedMs = static_cast<DWORD>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
        return progress;
    }

    bool Succeeded() const
    {
        std::lock_guard lock(m_mutex);
        return m_finished && m_succeeded;
    }

    std::string Error() const
    {
        std::lock_guard lock(m_mutex);
        return m_error;
    }

    std::vector<XferFileResult> Results() const
    {
        std::lock_guard lock(m_mutex);
        return m_results;
    }

    void FileStarted(const std::string& name, unsigned long long size) override
    {
        {
            std::lock_guard lock(m_mutex);
            m_doneBefore = m_progress.totalDone;
            m_progress.file = name;
            m_progress.size = size;
            m_progress.done = 0;
            ++m_progress.fileIndex;
        }
        Post(XFER_FILE_STARTED);
    }

    void Progress(unsigned long long done) override
    {
        bool post = false;
        {
            std::lock_guard lock(m_mutex);
            m_progress.done = done;
            m_progress.totalDone = m_doneBefore + done;
            const auto now = Clock::now();
            if (now - m_lastPost >= std::chrono::milliseconds(100)) {
                m_lastPost = now;
                post = true;
            }
        }
        if (post)
            Post(XFER_PROGRESS);
    }

    void FileDone(const XferFileResult& result) override
    {
        {
            std::lock_guard lock(m_mutex);
            m_results.push_back(result);
            if (result.complete) {
                m_progress.done = result.size;
                m_progress.totalDone = m_doneBefore + result.size;
            }
        }
        Post(XFER_FILE_DONE);
    }

private:
    void Run()
    {
        std::string error;
        bool ok = false;
        const bool sending = !m_job.files.empty();
        switch (m_job.protocol) {
        case XFER_XMODEM:
        case XFER_XMODEM_1K:
        case XFER_YMODEM:
        case XFER_YMODEM_G:
            ok = sending ? SendXmodem(m_link, *this, m_job, error) : ReceiveXmodem(m_link, *this, m_job, error);
            break;
        case XFER_ZMODEM:
            ok = sending ? SendZmodem(m_link, *this, m_job, error) : ReceiveZmodem(m_link, *this, m_job, error);
            break;
        case XFER_PACKET:
            ok = sending ? SendPacketFiles(m_link, *this, m_job, error)
                         : ReceivePacketFiles(m_link, *this, m_job, error);
            break;
        }
        if (m_link.Cancelled() && error.empty())
            error = "cancelled";
        {
            std::lock_guard lock(m_mutex);
            // Every file whole, and at least one, or the transfer failed.
            bool allWhole = !m_results.empty();
            for (const XferFileResult& r : m_results)
                allWhole = allWhole && r.complete;
            m_succeeded = ok && allWhole && !m_link.Cancelled();
            if (!m_succeeded && error.empty())
                error = "the transfer did not complete";
            m_error = m_succeeded ? std::string() : error;
            m_finished = true;
        }
        m_ended.notify_all();
        Post(XFER_FINISHED);
    }

    void Post(int event)
    {
        if (m_hWnd && m_message && IsWindow(m_hWnd))
            PostMessageA(m_hWnd, m_message, static_cast<WPARAM>(event), 0);
    }

    Link m_link;
    Job m_job;
    HWND m_hWnd;
    UINT m_message;
    Clock::time_point m_start, m_lastPost{};
    mutable std::mutex m_mutex;
    std::condition_variable m_ended;
    XferProgress m_progress;
    unsigned long long m_doneBefore = 0;
    std::vector<XferFileResult> m_results;
    bool m_finished = false;
    bool m_succeeded = false;
    std::string m_error;
    std::thread m_thread;
};

}  // namespace tavrin::transfer

using tavrin::transfer::Job;
using tavrin::transfer::Session;

CFileTransfer::CFileTransfer(CDevice& device) : m_device(device) {}

CFileTransfer::~CFileTransfer()
{
    if (auto session = Current()) {
        session->GetLink().Cancel();
        session->Join();
    }
}

void CFileTransfer::EnableNotify(HWND hWnd, UINT uMessage)
{
    m_hWnd = hWnd;
    m_uMessage = uMessage;
}

namespace {

bool KnownProtocol(XferProtocol protocol) { return protocol >= XFER_XMODEM && protocol <= XFER_PACKET; }

}  // namespace

BOOL CFileTransfer::Send(XferProtocol protocol, const std::vector<std::string>& files)
{
    m_strStartError.clear();
    if (IsRunning()) {
        m_strStartError = "a transfer is running";
        return FALSE;
    }
    if (!KnownProtocol(protocol) || files.empty()) {
        m_strStartError = "no protocol or no file";
        return FALSE;
    }
    if ((protocol == XFER_XMODEM || protocol == XFER_XMODEM_1K) && files.size() != 1) {
        m_strStartError = "XMODEM sends exactly one file; YMODEM and ZMODEM send several";
        return FALSE;
    }
    for (const std::string& file : files) {
        tavrin::transfer::FileSource source;
        if (!source.Open(file, m_strStartError))
            return FALSE;
    }
    if (auto previous = Current())
        previous->Join();
    Job job{protocol, files, {}, {}, {}};
    Begin(std::make_shared<Session>(m_device, std::move(job), m_hWnd, m_uMessage));
    return TRUE;
}

BOOL CFileTransfer::Receive(XferProtocol protocol, const std::string& dir, const XferReceiveOptions& options,
                            const std::string& xmodemFileName)
{
    m_strStartError.clear();
    if (IsRunning()) {
        m_strStartError = "a transfer is running";
        return FALSE;
    }
    tavrin::files::FileInfo info;
    if (!KnownProtocol(protocol) || dir.empty() || tavrin::files::Stat(dir, info) != 0 || !info.directory) {
        m_strStartError = "'" + dir + "' is not a folder";
        return FALSE;
    }
    std::string why;
    if ((protocol == XFER_XMODEM || protocol == XFER_XMODEM_1K) &&
        !tavrin::transfer::FileSink::SafeName(xmodemFileName, why)) {
        m_strStartError = "XMODEM needs the name of the file to receive: " + why;
        return FALSE;
    }
    if (auto previous = Current())
        previous->Join();
    Job job{protocol, {}, dir, options, xmodemFileName};
    Begin(std::make_shared<Session>(m_device, std::move(job), m_hWnd, m_uMessage));
    return TRUE;
}

void CFileTransfer::OnData(const BYTE* pData, DWORD dwLength)
{
    auto session = Current();
    if (session && pData && dwLength)
        session->GetLink().Push(pData, dwLength);
}

void CFileTransfer::Cancel()
{
    if (auto session = Current())
        session->GetLink().Cancel();
}

BOOL CFileTransfer::WaitForEnd(DWORD dwMilliseconds)
{
    auto session = Current();
    return !session || session->WaitForEnd(dwMilliseconds);
}

BOOL CFileTransfer::IsRunning() const
{
    auto session = Current();
    return session && !session->Finished();
}

void CFileTransfer::GetProgress(XferProgress& progress) const
{
    auto session = Current();
    progress = session ? session->Progress() : XferProgress{};
}

BOOL CFileTransfer::Succeeded() const
{
    auto session = Current();
    return session && session->Succeeded();
}

std::string CFileTransfer::GetError() const
{
    if (!m_strStartError.empty())
        return m_strStartError;
    auto session = Current();
    return session ? session->Error() : std::string();
}

std::vector<XferFileResult> CFileTransfer::GetResults() const
{
    auto session = Current();
    return session ? session->Results() : std::vector<XferFileResult>{};
}

std::shared_ptr<Session> CFileTransfer::Current() const
{
    std::lock_guard lock(m_sessionLock);
    return m_session;
}

void CFileTransfer::Begin(std::shared_ptr<Session> session)
{
    session->Start(session);
    // OnData may come from the host's window thread while a new transfer
    // replaces the last one: the pointer changes under the lock, and each
    // reader works on its own copy.
    std::lock_guard lock(m_sessionLock);
    m_session = std::move(session);
}
