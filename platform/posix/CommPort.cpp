// The serial port object: overlapped operations, the I/O thread, the
// status-line watcher, the decoding of marked bytes and the comm state.
#include "CommPort.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

namespace tavrin::posix {
namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;
// Decoded bytes kept ahead of the reads. Beyond this the line is left
// unread, so that the driver's own flow control (RTS/CTS, Xoff) can act.
constexpr std::size_t kQueueLimit = 4096;
// The stack of each of the port's two threads, which run only this file's
// code and the driver's. At their deepest in the suite they used 12 KiB,
// their thread's own record and thread-local storage included (the stack
// filled with a pattern and read back after the join); the 4 KiB receive
// buffer is the largest frame. The status watcher also takes the signal
// that interrupts its wait, a frame of up to 4 KiB with the widest vector
// registers. 64 KiB leaves four times that; the default reserved 8 MiB
// per thread.
constexpr std::size_t kThreadStack = 64 * 1024;

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Errors of a port that is open.
DWORD Win32FromLineErrno(int error)
{
    switch (error) {
    case EIO:
    case ENXIO:
    case ENODEV:
        return ERROR_DEVICE_NOT_CONNECTED;
    case ENOTTY:
        return ERROR_NOT_SUPPORTED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EPERM:
    case EACCES:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Within 3 %: the error two UARTs still frame each other's bytes with.
bool RateWithinTolerance(DWORD got, DWORD wanted)
{
    const double difference = static_cast<double>(got) - static_cast<double>(wanted);
    return difference * difference <= 0.03 * 0.03 * static_cast<double>(wanted) * static_cast<double>(wanted);
}

// A driver without the lines or counters (a pseudo-terminal) answers so.
bool IsNoSuchFeature(int error) { return error == ENOTTY || error == EINVAL; }

DWORD EventsFromStatusChange(DWORD changed)
{
    return ((changed & MS_CTS_ON) ? EV_CTS : 0) | ((changed & MS_DSR_ON) ? EV_DSR : 0) |
           ((changed & MS_RING_ON) ? EV_RING : 0) | ((changed & MS_RLSD_ON) ? EV_RLSD : 0);
}

DCB DcbFromSettings(const LineSettings& s)
{
    DCB d {};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = s.baudRate;
    d.fBinary = 1;
    d.fParity = s.checkParity ? 1 : 0;
    d.fOutxCtsFlow = s.rtsCts ? 1 : 0;
    d.fRtsControl = s.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fOutX = s.xonOutput ? 1 : 0;
    d.fInX = s.xonInput ? 1 : 0;
    d.XonLim = 2048;
    d.XoffLim = 512;
    d.ByteSize = s.byteSize;
    d.Parity = s.parity;
    d.StopBits = s.stopBits;
    d.XonChar = s.xonChar;
    d.XoffChar = s.xoffChar;
    return d;
}

// What Linux termios cannot do is refused, never replaced by something
// close: 1.5 stop bits (no termios flag asks for them), DTR/DSR flow
// control (no general Linux mechanism), RTS toggling.
bool ValidateDcb(const DCB& d)
{
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY)
        return false;
    if (d.StopBits != ONESTOPBIT && d.StopBits != TWOSTOPBITS)
        return false;
    if (d.fOutxDsrFlow || d.fDtrControl == DTR_CONTROL_HANDSHAKE || d.fRtsControl == RTS_CONTROL_TOGGLE)
        return false;
    if ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar)
        return false;
    return true;
}

LineSettings SettingsFromDcb(const DCB& d)
{
    LineSettings s;
    s.baudRate = d.BaudRate;
    s.byteSize = d.ByteSize;
    s.parity = d.Parity;
    s.stopBits = d.StopBits;
    s.rtsCts = d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE;
    s.xonOutput = d.fOutX != 0;
    s.xonInput = d.fInX != 0;
    s.checkParity = d.fParity != 0;
    s.xonChar = d.XonChar;
    s.xoffChar = d.XoffChar;
    return s;
}

}  // namespace

CommPort::CommPort(std::unique_ptr<LineDriver> driver, bool overlapped)
    : SyncObject(Kind::CommFile), m_driver(std::move(driver)), m_overlapped(overlapped)
{
}

CommPort::~CommPort()
{
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool CommPort::Start(DWORD& error)
{
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        LineSettings settings;
        if (int e = m_driver->GetSettings(settings)) {
            error = Win32FromLineErrno(e);
            return false;
        }
        m_dcb = DcbFromSettings(settings);
        if (m_driver->GetModemLines(m_lastStatus) != 0)
            m_lastStatus = 0;
        m_countersKnown = m_driver->GetCounters(m_counters) == 0;
    }
    m_watcherRunning = true;
    if (!m_io.Start([this] { IoLoop(); }, kThreadStack) || !m_watcher.Start([this] { WatchLoop(); }, kThreadStack)) {
        m_watcherRunning = false;
        error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    return true;
}

void CommPort::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped)
            return;
        m_stopped = true;
        m_closing = true;
        CompleteAllLocked(m_reads, ERROR_OPERATION_ABORTED, false);
        CompleteAllLocked(m_writes, ERROR_OPERATION_ABORTED, false);
        CompleteWaitLocked(0, ERROR_OPERATION_ABORTED);
        m_done.notify_all();
    }
    if (m_wakeFd >= 0)
        Wake();
    m_io.Join();
    {
        // The status wait cannot be woken through a descriptor; the driver
        // interrupts it, and since an interrupt can fall just before the
        // thread enters the wait, it is repeated until the thread has left.
        std::unique_lock lock(m_mutex);
        while (m_watcherRunning) {
            m_driver->InterruptModemWait();
            m_done.wait_for(lock, std::chrono::milliseconds(20));
        }
    }
    m_watcher.Join();
    std::lock_guard lock(m_mutex);
    m_driver.reset();
}

void CommPort::Wake()
{
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

// ---- completion ---------------------------------------------------------

void CommPort::CompleteLocked(Operation& op, DWORD status)
{
    op.ov->Internal = status;
    op.ov->InternalHigh = op.done;
    if (op.ov->hEvent)
        SetEvent(op.ov->hEvent);
    m_done.notify_all();
}

void CommPort::CompleteAllLocked(std::deque<Operation>& ops, DWORD status, bool onlyCallingThread)
{
    DWORD thread = onlyCallingThread ? GetCurrentThreadId() : 0;
    for (auto it = ops.begin(); it != ops.end();) {
        if (onlyCallingThread && it->thread != thread) {
            ++it;
            continue;
        }
        CompleteLocked(*it, status);
        it = ops.erase(it);
    }
}

void CommPort::CompleteWaitLocked(DWORD events, DWORD status)
{
    if (!m_wait)
        return;
    if (m_wait->eventWord)
        *m_wait->eventWord = events;
    CompleteLocked(*m_wait, status);
    m_wait.reset();
}

void CommPort::RaiseEventsLocked(DWORD events)
{
    m_history |= events & m_mask;
    if (m_wait && m_history) {
        DWORD history = m_history;
        m_history = 0;
        CompleteWaitLocked(history, ERROR_SUCCESS);
    }
}

BOOL CommPort::FinishCall(std::unique_lock<std::mutex>& lock, Operation&, OVERLAPPED& record, bool sync,
                          LPDWORD transferred)
{
    if (record.Internal == ERROR_IO_PENDING) {
        if (!sync)
            return Fail(ERROR_IO_PENDING);
        m_done.wait(lock, [&] { return record.Internal != ERROR_IO_PENDING; });
    }
    if (transferred)
        *transferred = static_cast<DWORD>(record.InternalHigh);
    if (record.Internal != ERROR_SUCCESS)
        return Fail(static_cast<DWORD>(record.Internal));
    return TRUE;
}

// ---- the I/O thread -------------------------------------------------------

bool CommPort::ServiceReadLocked(Operation& op, bool front, Clock::time_point now)
{
    if (front && !m_queue.empty() && op.done < op.size) {
        std::size_t n = std::min<std::size_t>(m_queue.size(), op.size - op.done);
        std::copy_n(m_queue.begin(), n, op.buffer + op.done);
        m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n));
        op.done += static_cast<DWORD>(n);
    }
    if (op.done == op.size || op.returnAtOnce)
        return true;
    if (op.done > 0 && op.returnOnFirstByte)
        return true;
    if (op.done > 0 && op.interval.count() > 0 && now - m_lastArrival >= op.interval)
        return true;
    return op.deadline && now >= *op.deadline;
}

void CommPort::ServiceWritesLocked(Clock::time_point now)
{
    while (!m_writes.empty()) {
        if (m_gone) {
            CompleteAllLocked(m_writes, ERROR_DEVICE_NOT_CONNECTED, false);
            return;
        }
        Operation& op = m_writes.front();
        if (op.done < op.size) {
            long n = m_driver->Write(op.buffer + op.done, op.size - op.done);
            if (n > 0) {
                op.done += static_cast<DWORD>(n);
            } else if (n != -EAGAIN && n != -EINTR && n != 0) {
                MarkGoneLocked();
                continue;
            }
        }
        // A write time-out is a success with fewer bytes, as on Windows.
        if (op.done == op.size || (op.deadline && now >= *op.deadline)) {
            CompleteLocked(op, ERROR_SUCCESS);
            m_writes.pop_front();
            if (m_writes.empty())
                RaiseEventsLocked(EV_TXEMPTY);
            continue;
        }
        return;
    }
}

void CommPort::ServiceLocked(Clock::time_point now)
{
    ServiceWritesLocked(now);
    while (!m_reads.empty()) {
        Operation& op = m_reads.front();
        if (ServiceReadLocked(op, true, now)) {
            CompleteLocked(op, ERROR_SUCCESS);
        } else if (m_gone && m_queue.empty()) {
            // What arrived before the line went is still delivered; a read
            // that got nothing fails.
            CompleteLocked(op, op.done > 0 ? ERROR_SUCCESS : ERROR_DEVICE_NOT_CONNECTED);
        } else {
            break;
        }
        m_reads.pop_front();
    }
    // Reads behind the first one can only run out of time.
    for (auto it = m_reads.begin() + (m_reads.empty() ? 0 : 1); it != m_reads.end();) {
        if (ServiceReadLocked(*it, false, now)) {
            CompleteLocked(*it, ERROR_SUCCESS);
            it = m_reads.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<CommPort::Clock::time_point> CommPort::NextDeadlineLocked() const
{
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    for (std::size_t i = 0; i < m_reads.size(); ++i) {
        const Operation& op = m_reads[i];
        if (op.deadline)
            consider(*op.deadline);
        if (i == 0 && op.done > 0 && op.interval.count() > 0)
            consider(m_lastArrival + op.interval);
    }
    for (const Operation& op : m_writes)
        if (op.deadline)
            consider(*op.deadline);
    return next;
}

void CommPort::MarkGoneLocked()
{
    if (m_gone)
        return;
    // From here on the descriptor is no longer polled: a hung-up tty stays
    // readable for ever and would make the I/O thread spin.
    m_gone = true;
    m_errors |= CE_IOE;
    CompleteAllLocked(m_writes, ERROR_DEVICE_NOT_CONNECTED, false);
    CompleteWaitLocked(0, ERROR_DEVICE_NOT_CONNECTED);
}

void CommPort::ReceiveLocked(bool hangUp)
{
    BYTE raw[4096];
    std::size_t room = m_queue.size() < kQueueLimit ? kQueueLimit - m_queue.size() : 0;
    // After a hang-up the rest is read regardless of room: it is finite,
    // and the descriptor must be read to its end to stop reporting.
    std::size_t want = hangUp ? sizeof raw : std::min(room, sizeof raw);
    if (want == 0)
        return;
    long n = m_driver->Read(raw, want);
    if (n > 0) {
        m_lastArrival = Clock::now();
        DecodeLocked(raw, static_cast<std::size_t>(n));
        DWORD counted = CheckCountersLocked();
        if (m_unclassifiedError && !(counted & (CE_FRAME | CE_RXPARITY)))
            m_errors |= m_dcb.Parity != NOPARITY ? CE_RXPARITY : CE_FRAME;
        m_unclassifiedError = false;
        return;
    }
    if ((n == -EAGAIN || n == -EINTR) && !hangUp)
        return;
    MarkGoneLocked();
}

void CommPort::PushDataLocked(BYTE byte)
{
    if (m_dcb.fNull && byte == 0)
        return;
    m_queue.push_back(byte);
    DWORD events = EV_RXCHAR;
    if (static_cast<char>(byte) == m_dcb.EvtChar)
        events |= EV_RXFLAG;
    RaiseEventsLocked(events);
}

// The driver marks what it received (PARMRK): FF FF is a data byte 0xFF,
// FF 00 00 a break, FF 00 x the byte x received with a parity or framing
// error. A mark may be split between two reads, so the decoder keeps its
// state between them. FF 00 00 is also what a NUL with a parity error
// looks like; POSIX cannot tell the two apart, and it counts as a break.
void CommPort::DecodeLocked(const BYTE* raw, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        BYTE b = raw[i];
        switch (m_markState) {
        case 0:
            if (b == 0xFF)
                m_markState = 1;
            else
                PushDataLocked(b);
            break;
        case 1:
            m_markState = 0;
            if (b == 0x00) {
                m_markState = 2;
            } else {
                // Not a mark (the driver never sends this): both bytes are data.
                PushDataLocked(0xFF);
                if (b != 0xFF)
                    PushDataLocked(b);
            }
            break;
        default:
            m_markState = 0;
            if (b == 0x00) {
                m_errors |= CE_BREAK;
                RaiseEventsLocked(EV_BREAK);
            } else {
                // The mark does not say parity or framing. Where the driver
                // counts them, its counters say which (ReceiveLocked);
                // otherwise a parity error is assumed when parity is on.
                // The byte itself is delivered, as Windows does unless the
                // DCB asks for an error character in its place.
                m_unclassifiedError = true;
                RaiseEventsLocked(EV_ERR);
                PushDataLocked(m_dcb.fErrorChar ? static_cast<BYTE>(m_dcb.ErrorChar) : b);
            }
            break;
        }
    }
}

// Raises the events gathered in a scope once, when it ends.
struct CommPort::RaiseOnExit {
    CommPort& port;
    DWORD events;
    ~RaiseOnExit() { port.RaiseEventsLocked(events); }
};

DWORD CommPort::CheckCountersLocked(DWORD extraEvents, bool readLevel)
{
    RaiseOnExit raise {*this, extraEvents};
    if (m_gone)
        return 0;
    LineCounters now;
    if (!m_countersKnown || m_driver->GetCounters(now) != 0) {
        if (readLevel)
            raise.events |= EventsFromStatusChange(LevelChangesLocked().value_or(0));
        return 0;
    }
    const LineCounters& was = m_counters;
    DWORD errors = 0;
    DWORD events = 0;
    errors |= now.frame != was.frame ? CE_FRAME : 0;
    errors |= now.parity != was.parity ? CE_RXPARITY : 0;
    errors |= now.overrun != was.overrun ? CE_OVERRUN : 0;
    errors |= now.bufferOverrun != was.bufferOverrun ? CE_RXOVER : 0;
    if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN))
        events |= EV_ERR;
    if (now.brk != was.brk) {
        errors |= CE_BREAK;
        events |= EV_BREAK;
    }
    events |= StatusLineEventsLocked(now, was, readLevel);
    m_counters = now;
    m_errors |= errors;
    raise.events |= events;
    return errors;
}

std::optional<DWORD> CommPort::LevelChangesLocked()
{
    DWORD status = 0;
    if (m_driver->GetModemLines(status) != 0)
        return std::nullopt;
    const DWORD changed = status ^ m_lastStatus;
    m_lastStatus = status;
    return changed;
}

// The interrupt counts catch a line that changed and changed back before
// its state was read: moved by two. A count moved by one stands for a
// change only if the level, read after the counts, shows it. ftdi_sio
// counts from a level it assumes (all lines off) until the adapter's
// first status byte, which comes with the first data: CTS, DSR and CD are
// each counted once then, though TIOCMGET, which asks the adapter, said
// them on from the start. Unless the status wait woke, the level is read
// only when a count moved: on a USB adapter each read is a request to the
// device, and data arrive far more often than lines change.
DWORD CommPort::StatusLineEventsLocked(const LineCounters& now, const LineCounters& was, bool readLevel)
{
    struct Line {
        DWORD LineCounters::*count;
        DWORD status;
    };
    static constexpr Line kLines[] = {{&LineCounters::cts, MS_CTS_ON},
                                      {&LineCounters::dsr, MS_DSR_ON},
                                      {&LineCounters::ring, MS_RING_ON},
                                      {&LineCounters::dcd, MS_RLSD_ON}};
    DWORD movedOnce = 0, changed = 0;
    for (const Line& line : kLines) {
        const DWORD by = now.*line.count - was.*line.count;
        if (by == 1)
            movedOnce |= line.status;
        else if (by != 0)
            changed |= line.status;
    }
    if (movedOnce != 0 || readLevel)
        changed |= LevelChangesLocked().value_or(movedOnce);
    return EventsFromStatusChange(changed);
}

void CommPort::LineChangedLocked()
{
    // The counts first, then the level: a line that changes between the two
    // reads shows in the level, and its count, one more next time with the
    // level as already seen, is not taken for a second change. One raise
    // for what both show, or the second would stay behind as history and
    // end the next wait too.
    CheckCountersLocked(0, true);
}

void CommPort::IoLoop()
{
    std::unique_lock lock(m_mutex);
    while (!m_closing) {
        ServiceLocked(Clock::now());
        pollfd fds[2] {};
        fds[0].fd = m_gone ? -1 : m_driver->PollFd();
        fds[0].events = static_cast<short>((m_queue.size() < kQueueLimit ? POLLIN : 0) |
                                           (m_writes.empty() ? 0 : POLLOUT));
        fds[1].fd = m_wakeFd;
        fds[1].events = POLLIN;
        std::optional<Clock::time_point> deadline = NextDeadlineLocked();
        lock.unlock();

        timespec limit {};
        timespec* limitPointer = nullptr;
        if (deadline) {
            auto wait = std::max(Clock::duration::zero(), *deadline - Clock::now());
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            limit.tv_sec = static_cast<time_t>(ns / 1000000000);
            limit.tv_nsec = static_cast<long>(ns % 1000000000);
            limitPointer = &limit;
        }
        int ready = ::ppoll(fds, 2, limitPointer, nullptr);

        lock.lock();
        if (ready <= 0)
            continue;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(m_wakeFd, &count, sizeof count);
        }
        if (m_closing || m_gone || fds[0].fd < 0)
            continue;
        bool hangUp = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if ((fds[0].revents & POLLIN) || hangUp)
            ReceiveLocked(hangUp);
    }
}

void CommPort::WatchLoop()
{
    for (;;) {
        int result = m_driver->WaitModemChange();
        std::lock_guard lock(m_mutex);
        if (m_closing)
            break;
        if (result == 0)
            LineChangedLocked();
        else if (result != EINTR)
            break;  // no status wait on this driver (a pty), or the line is gone
    }
    std::lock_guard lock(m_mutex);
    m_watcherRunning = false;
    m_done.notify_all();
}

// ---- the calls ------------------------------------------------------------

// A new read or write, its record marked pending and its event reset, as
// Windows does when an overlapped operation starts.
CommPort::Operation CommPort::StartOperation(OpKind kind, BYTE* buffer, DWORD size, LPDWORD count,
                                             OVERLAPPED& record)
{
    if (count)
        *count = 0;
    record.Internal = ERROR_IO_PENDING;
    record.InternalHigh = 0;
    if (record.hEvent)
        ResetEvent(record.hEvent);
    Operation op;
    op.kind = kind;
    op.ov = &record;
    op.buffer = buffer;
    op.size = size;
    op.thread = GetCurrentThreadId();
    return op;
}

BOOL CommPort::Read(void* buffer, DWORD size, LPDWORD got, LPOVERLAPPED ov)
{
    std::unique_lock lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    if (!buffer && size > 0)
        return Fail(ERROR_INVALID_PARAMETER);
    bool sync = !ov || !m_overlapped;
    OVERLAPPED local {};
    OVERLAPPED& record = ov ? *ov : local;
    Operation op = StartOperation(OpKind::Read, static_cast<BYTE*>(buffer), size, got, record);
    const COMMTIMEOUTS& t = m_timeouts;
    auto now = Clock::now();
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        op.returnAtOnce = true;
    } else if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword) {
        op.returnOnFirstByte = true;
        op.deadline = now + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    } else {
        if (t.ReadIntervalTimeout != kMaxDword)
            op.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
        std::uint64_t total = std::uint64_t(t.ReadTotalTimeoutMultiplier) * size + t.ReadTotalTimeoutConstant;
        if (total > 0)
            op.deadline = now + std::chrono::milliseconds(total);
    }

    if (size == 0)
        CompleteLocked(op, ERROR_SUCCESS);
    else if (m_reads.empty() && ServiceReadLocked(op, true, now))
        CompleteLocked(op, ERROR_SUCCESS);
    else if (m_gone && m_queue.empty())
        CompleteLocked(op, op.done > 0 ? ERROR_SUCCESS : ERROR_DEVICE_NOT_CONNECTED);
    else {
        m_reads.push_back(op);
        Wake();
    }
    return FinishCall(lock, op, record, sync, got);
}

BOOL CommPort::Write(const void* buffer, DWORD size, LPDWORD put, LPOVERLAPPED ov)
{
    std::unique_lock lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    if (!buffer && size > 0)
        return Fail(ERROR_INVALID_PARAMETER);
    bool sync = !ov || !m_overlapped;
    OVERLAPPED local {};
    OVERLAPPED& record = ov ? *ov : local;
    Operation op =
        StartOperation(OpKind::Write, static_cast<BYTE*>(const_cast<void*>(buffer)), size, put, record);
    std::uint64_t total =
        std::uint64_t(m_timeouts.WriteTotalTimeoutMultiplier) * size + m_timeouts.WriteTotalTimeoutConstant;
    if (total > 0)
        op.deadline = Clock::now() + std::chrono::milliseconds(total);

    if (m_gone) {
        CompleteLocked(op, ERROR_DEVICE_NOT_CONNECTED);
    } else {
        // Written at once when the line takes it all; what is left waits
        // for the I/O thread, behind any earlier write.
        m_writes.push_back(op);
        if (m_writes.size() == 1)
            ServiceWritesLocked(Clock::now());
        if (!m_writes.empty())
            Wake();
    }
    return FinishCall(lock, op, record, sync, put);
}

BOOL CommPort::WaitEvent(LPDWORD events, LPOVERLAPPED ov)
{
    std::unique_lock lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    // One wait at a time, and a wait needs something to wait for: a wait
    // after the mask was cleared fails at once, as on Windows.
    if (m_wait || m_mask == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    bool sync = !ov || !m_overlapped;
    OVERLAPPED local {};
    OVERLAPPED& record = ov ? *ov : local;
    if (events)
        *events = 0;
    record.Internal = ERROR_IO_PENDING;
    record.InternalHigh = 0;
    if (record.hEvent)
        ResetEvent(record.hEvent);

    Operation op;
    op.kind = OpKind::Wait;
    op.ov = &record;
    op.eventWord = events;
    op.thread = GetCurrentThreadId();
    m_wait = op;
    if (m_gone) {
        CompleteWaitLocked(0, ERROR_DEVICE_NOT_CONNECTED);
    } else if (m_history) {
        DWORD history = m_history;
        m_history = 0;
        CompleteWaitLocked(history, ERROR_SUCCESS);
    }
    return FinishCall(lock, op, record, sync, nullptr);
}

BOOL CommPort::Result(LPOVERLAPPED ov, LPDWORD transferred, BOOL wait)
{
    std::unique_lock lock(m_mutex);
    if (!ov)
        return Fail(ERROR_INVALID_PARAMETER);
    if (ov->Internal == ERROR_IO_PENDING) {
        if (!wait)
            return Fail(ERROR_IO_INCOMPLETE);
        m_done.wait(lock, [&] { return ov->Internal != ERROR_IO_PENDING || m_closing; });
        if (ov->Internal == ERROR_IO_PENDING)
            return Fail(ERROR_OPERATION_ABORTED);
    }
    if (transferred)
        *transferred = static_cast<DWORD>(ov->InternalHigh);
    if (ov->Internal != ERROR_SUCCESS)
        return Fail(static_cast<DWORD>(ov->Internal));
    return TRUE;
}

BOOL CommPort::Cancel()
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    CompleteAllLocked(m_reads, ERROR_OPERATION_ABORTED, true);
    CompleteAllLocked(m_writes, ERROR_OPERATION_ABORTED, true);
    if (m_wait && m_wait->thread == GetCurrentThreadId())
        CompleteWaitLocked(0, ERROR_OPERATION_ABORTED);
    Wake();
    return TRUE;
}

BOOL CommPort::SetMask(DWORD mask)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    m_mask = mask;
    m_history = 0;
    CompleteWaitLocked(0, ERROR_SUCCESS);
    return TRUE;
}

BOOL CommPort::GetMask(LPDWORD mask)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    if (!mask)
        return Fail(ERROR_INVALID_PARAMETER);
    *mask = m_mask;
    return TRUE;
}

BOOL CommPort::ClearError(LPDWORD errors, LPCOMSTAT stat)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    CheckCountersLocked();
    if (errors)
        *errors = m_errors;
    m_errors = 0;
    if (stat) {
        *stat = COMSTAT {};
        DWORD in = 0;
        DWORD out = 0;
        if (!m_gone) {
            m_driver->InputQueue(in);
            m_driver->OutputQueue(out);
        }
        for (const Operation& op : m_writes)
            out += op.size - op.done;
        stat->cbInQue = static_cast<DWORD>(m_queue.size()) + in;
        stat->cbOutQue = out;
    }
    return TRUE;
}

BOOL CommPort::Purge(DWORD flags)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return Fail(ERROR_INVALID_PARAMETER);
    if (flags & PURGE_TXABORT)
        CompleteAllLocked(m_writes, ERROR_OPERATION_ABORTED, false);
    if (flags & PURGE_RXABORT)
        CompleteAllLocked(m_reads, ERROR_OPERATION_ABORTED, false);
    // On a real line this drops what is not yet sent. A pseudo-terminal has
    // sent it already, but the kernel moves it to the peer's input later,
    // and flushing would take back what is still on the way: a port closed
    // right after a write would lose it.
    if (!m_gone && (flags & PURGE_TXCLEAR) && !m_driver->HandsOutputToPeer())
        m_driver->Flush(false, true);
    if (flags & PURGE_RXCLEAR) {
        m_queue.clear();
        m_markState = 0;
        if (!m_gone)
            m_driver->Flush(true, false);
    }
    Wake();
    return TRUE;
}

BOOL CommPort::GetState(LPDCB dcb)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    if (!dcb)
        return Fail(ERROR_INVALID_PARAMETER);
    LineSettings s;
    if (int e = m_driver->GetSettings(s))
        return Fail(Win32FromLineErrno(e));
    // What the driver holds, over what was last set for the fields it does
    // not keep (the DTR and RTS modes, the limits and special characters,
    // and on a pseudo-terminal the byte size and parity, which it forces).
    DCB d = m_dcb;
    d.DCBlength = sizeof(DCB);
    d.BaudRate = s.baudRate;
    if (!m_driver->ForcesFrameFormat()) {
        d.ByteSize = s.byteSize;
        d.Parity = s.parity;
    }
    d.StopBits = s.stopBits;
    d.fBinary = 1;
    d.fParity = s.checkParity ? 1 : 0;
    d.fOutxCtsFlow = s.rtsCts ? 1 : 0;
    if (s.rtsCts)
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
        d.fRtsControl = RTS_CONTROL_ENABLE;
    d.fOutX = s.xonOutput ? 1 : 0;
    d.fInX = s.xonInput ? 1 : 0;
    d.XonChar = s.xonChar;
    d.XoffChar = s.xoffChar;
    *dcb = d;
    return TRUE;
}

BOOL CommPort::SetState(const DCB& dcb)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    if (!ValidateDcb(dcb))
        return Fail(ERROR_INVALID_PARAMETER);
    LineSettings wanted = SettingsFromDcb(dcb);
    LineSettings before;
    const bool haveBefore = m_driver->GetSettings(before) == 0;
    if (int e = m_driver->SetSettings(wanted))
        return Fail(Win32FromLineErrno(e));
    // A driver that cannot make a frame format (mark or space parity on
    // some UARTs) or a rate (beyond a 16550's clock) quietly keeps another
    // one: refuse what did not take, and leave the port as it was. A rate
    // rounded to what the divisor can make, within what two UARTs still
    // frame, is taken, and read back as the driver has it.
    LineSettings got;
    if (int e = m_driver->GetSettings(got))
        return Fail(Win32FromLineErrno(e));
    bool differs = got.stopBits != wanted.stopBits || !RateWithinTolerance(got.baudRate, wanted.baudRate);
    if (!m_driver->ForcesFrameFormat())
        differs = differs || got.byteSize != wanted.byteSize || got.parity != wanted.parity;
    if (differs) {
        if (haveBefore)
            m_driver->SetSettings(before);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // A device without modem lines has nothing to raise: not an error.
    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
        m_driver->SetOutputLine(OutputLine::Dtr, dcb.fDtrControl == DTR_CONTROL_ENABLE);
    m_driver->SetOutputLine(OutputLine::Rts, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    m_dcb = dcb;
    m_dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL CommPort::Escape(DWORD function)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    int e = 0;
    switch (function) {
    case SETXOFF: e = m_driver->SetOutputFlow(false); break;
    case SETXON: e = m_driver->SetOutputFlow(true); break;
    case SETRTS:
    case CLRRTS:
    case SETDTR:
    case CLRDTR:
        e = m_driver->SetOutputLine(function == SETRTS || function == CLRRTS ? OutputLine::Rts : OutputLine::Dtr,
                                    function == SETRTS || function == SETDTR);
        // A pseudo-terminal has no lines to set: refused as Windows refuses
        // it, so that a host asking for a line change hears it did not
        // happen (the open, which raises DTR regardless, ignores this).
        break;
    case SETBREAK: e = m_driver->SetBreak(true); break;
    case CLRBREAK: e = m_driver->SetBreak(false); break;
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
    return e ? Fail(Win32FromLineErrno(e)) : TRUE;
}

BOOL CommPort::ModemStatus(LPDWORD status)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    if (!status)
        return Fail(ERROR_INVALID_PARAMETER);
    DWORD lines = 0;
    int e = m_driver->GetModemLines(lines);
    // No modem-control lines (a pseudo-terminal): answer as a null-modem
    // cable that loops the handshake lines back would, CTS, DSR and RLSD
    // on, so that a virtual port is usable.
    if (IsNoSuchFeature(e))
        lines = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    else if (e)
        return Fail(Win32FromLineErrno(e));
    *status = lines;
    return TRUE;
}

BOOL CommPort::SetBreak(bool on)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    int e = m_driver->SetBreak(on);
    return e ? Fail(Win32FromLineErrno(e)) : TRUE;
}

BOOL CommPort::GetTimeouts(LPCOMMTIMEOUTS timeouts)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    if (!timeouts)
        return Fail(ERROR_INVALID_PARAMETER);
    *timeouts = m_timeouts;
    return TRUE;
}

BOOL CommPort::SetTimeouts(const COMMTIMEOUTS& timeouts)
{
    std::lock_guard lock(m_mutex);
    if (!UsableLocked())
        return Fail(ERROR_INVALID_HANDLE);
    m_timeouts = timeouts;
    return TRUE;
}

}  // namespace tavrin::posix
