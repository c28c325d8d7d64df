// Internal to the POSIX backend: an open serial port, the kernel object
// behind a HANDLE from CreateFileA.
//
// One I/O thread per port blocks in poll() on the line and on an eventfd
// that wakes it for new operations and for the close. It keeps a small
// receive queue of decoded bytes (marks taken out), completes pending reads
// and writes, and raises comm events. A second thread blocks in the
// driver's status-line wait where the driver has one. All port state is
// under the port's own mutex; the stripe locks of the events it sets are
// taken inside it, and no stripe holder ever takes it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include "../Comm.h"
#include "LineDriver.h"
#include "NativeThread.h"
#include "WaitCore.h"

namespace tavrin::posix {

class CommPort final : public SyncObject {
public:
    CommPort(std::unique_ptr<LineDriver> driver, bool overlapped);
    ~CommPort() override;

    // Starts the threads; on failure the port is left stopped.
    bool Start(DWORD& error);
    // Stops the threads and closes the line; the port fails every call
    // from then on. Idempotent.
    void Stop();

    bool IsSignalledFor(DWORD) const override { return false; }
    bool ClosesOutsideLock() const override { return true; }
    void CloseOutsideLock() override { Stop(); }

    // The Win32 calls; each sets the last error when it returns FALSE.
    BOOL Read(void* buffer, DWORD size, LPDWORD got, LPOVERLAPPED ov);
    BOOL Write(const void* buffer, DWORD size, LPDWORD put, LPOVERLAPPED ov);
    BOOL WaitEvent(LPDWORD events, LPOVERLAPPED ov);
    BOOL Result(LPOVERLAPPED ov, LPDWORD transferred, BOOL wait);
    BOOL Cancel();
    BOOL SetMask(DWORD mask);
    BOOL GetMask(LPDWORD mask);
    BOOL ClearError(LPDWORD errors, LPCOMSTAT stat);
    BOOL Purge(DWORD flags);
    BOOL GetState(LPDCB dcb);
    BOOL SetState(const DCB& dcb);
    BOOL Escape(DWORD function);
    BOOL ModemStatus(LPDWORD status);
    BOOL SetBreak(bool on);
    BOOL GetTimeouts(LPCOMMTIMEOUTS timeouts);
    BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);

private:
    using Clock = std::chrono::steady_clock;
    enum class OpKind { Read, Write, Wait };

    struct Operation {
        OpKind kind = OpKind::Read;
        LPOVERLAPPED ov = nullptr;
        BYTE* buffer = nullptr;
        DWORD size = 0;
        DWORD done = 0;
        DWORD thread = 0;
        LPDWORD eventWord = nullptr;
        // Read time-outs, fixed when the read starts.
        bool returnAtOnce = false;
        bool returnOnFirstByte = false;
        Clock::duration interval {};
        std::optional<Clock::time_point> deadline;
    };

    bool UsableLocked() const { return !m_closing && m_driver; }
    Operation StartOperation(OpKind kind, BYTE* buffer, DWORD size, LPDWORD count, OVERLAPPED& record);
    BOOL FinishCall(std::unique_lock<std::mutex>& lock, Operation& op, OVERLAPPED& local, bool pending,
                    LPDWORD transferred);
    void CompleteLocked(Operation& op, DWORD status);
    void CompleteAllLocked(std::deque<Operation>& ops, DWORD status, bool onlyCallingThread);
    void CompleteWaitLocked(DWORD events, DWORD status);
    void RaiseEventsLocked(DWORD events);
    void ServiceLocked(Clock::time_point now);
    bool ServiceReadLocked(Operation& op, bool front, Clock::time_point now);
    void ServiceWritesLocked(Clock::time_point now);
    void ReceiveLocked(bool hangUp);
    void DecodeLocked(const BYTE* raw, std::size_t count);
    void PushDataLocked(BYTE byte);
    // The CE_ flags the driver's counters add since the last look; raises
    // their events together with extraEvents.
    struct RaiseOnExit;
    // readLevel: the status word is read too, not only when a count moved.
    DWORD CheckCountersLocked(DWORD extraEvents = 0, bool readLevel = false);
    // The status lines the counters and the level show changed, as events.
    DWORD StatusLineEventsLocked(const LineCounters& now, const LineCounters& was, bool readLevel);
    // The status bits that changed since the level was last read; nothing
    // when the driver cannot tell.
    std::optional<DWORD> LevelChangesLocked();
    void LineChangedLocked();
    void MarkGoneLocked();
    std::optional<Clock::time_point> NextDeadlineLocked() const;
    void Wake();
    void IoLoop();
    void WatchLoop();

    std::mutex m_mutex;
    std::condition_variable m_done;  // an operation completed, or the port stops
    std::unique_ptr<LineDriver> m_driver;
    const bool m_overlapped;
    int m_wakeFd = -1;
    NativeThread m_io;
    NativeThread m_watcher;
    bool m_watcherRunning = false;
    bool m_closing = false;
    bool m_stopped = false;
    // The line went away (hang-up, EIO, a read of 0 bytes): no more polling.
    bool m_gone = false;

    std::deque<Operation> m_reads;
    std::deque<Operation> m_writes;
    std::optional<Operation> m_wait;

    std::deque<BYTE> m_queue;  // received data, marks decoded
    Clock::time_point m_lastArrival {};
    int m_markState = 0;  // 0 plain, 1 after FF, 2 after FF 00
    bool m_unclassifiedError = false;  // an error mark not yet named

    DWORD m_mask = 0;
    DWORD m_history = 0;  // events seen since the last wait, within the mask
    DWORD m_errors = 0;   // CE_ flags since the last ClearCommError
    DWORD m_lastStatus = 0;
    bool m_countersKnown = false;
    LineCounters m_counters;
    DCB m_dcb {};
    COMMTIMEOUTS m_timeouts {};
};

}  // namespace tavrin::posix
