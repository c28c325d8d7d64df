// What the bridge does beyond the library's one-to-one link: carrying a
// break that a serial line reported, writing a block the way the link
// would, and sharing one device among several callers (the library links a
// device to one partner only, so the fan-out is the host's).
#pragma once

#include <tavrin/Tavrin.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrin::tool {

// A DEVMSG_ERROR text that reports a break received on a serial line.
bool IsBreakReport(const CString& text);

enum class BreakCarried { AsBreak, AsZeroByte, NotCarried };

// A break that arrived on one side, taken to the other. A serial port (or
// the loopback) gets a break. A socket has no out-of-band break: with
// zeroIsBreak (--breaks) it gets the zero byte the library's link sends for
// one; in transparent mode a zero byte would be indistinguishable from data,
// so nothing is sent.
BreakCarried CarryBreak(CDevice& to, bool toIsSocket, bool zeroIsBreak);
// "went to B as a break", for notices.
std::string DescribeCarry(BreakCarried carried, const std::string& toName);

// Writes a block to a device as the library's link forwards one: whole
// when transparent, else runs of non-zero bytes with each zero byte sent
// as a break.
void ForwardBlock(CDevice& to, const BYTE* bytes, size_t count, bool zeroIsBreak);

// The partner a shared device is linked to: every block it is written goes
// to each caller, in the order written, through a queue and a thread of the
// caller's own, so that a caller that does not read holds up no one else.
// A caller whose queue grows past the backlog limit is given up: its queue
// is dropped and onOverflow(id) is called (from the writing thread), once.
// A break is a zero byte to every caller, as a socket sends one.
class CallerFanOut : public CDevice {
public:
    explicit CallerFanOut(size_t backlogLimit, std::function<void(int)> onOverflow);
    ~CallerFanOut() override;

    // prelude goes to this caller before anything fanned out after the call.
    void Add(int id, std::shared_ptr<CDevice> caller, const std::string& prelude);
    // Only to this caller, in order with the fan-out.
    void SendTo(int id, const std::string& bytes);
    // Holds what is fanned out to this caller (not what SendTo sends) until
    // released; held bytes count towards the backlog limit.
    void Hold(int id, bool hold);
    // Every block fanned out from now on goes with each 0xFF doubled: the
    // callers speak Telnet.
    void EscapeIac() { m_escapeIac = true; }
    // From now on the caller gets nothing; its thread ends after the write
    // under way. It is joined later, by Reap, once that write is over, or by
    // JoinAll after the callers have been disconnected (which ends a write
    // held up by a caller that does not read).
    void Remove(int id);
    void Reap();
    void JoinAll();

    BOOL Write(BYTE* pBuffer, DWORD dwLength) override;
    void SendBreak() override;

private:
    class Outlet;
    size_t m_backlogLimit;
    std::function<void(int)> m_onOverflow;
    std::atomic<bool> m_escapeIac{false};
    std::mutex m_lock;   // the outlets; a fan-out runs under it, in order
    std::map<int, std::unique_ptr<Outlet>> m_outlets;
    std::vector<std::unique_ptr<Outlet>> m_removed;
};

}  // namespace tavrin::tool
