// POSIX backend of the message windows: one queue per thread, guarded by
// the queue's stripe (WaitCore.h) so that a thread can wait for objects and
// messages at once. A window's own state is guarded by its owner queue's
// stripe; the table that finds a window by its handle is sharded under leaf
// locks, so IsWindow and the lookup of a send or post never wait on a
// queue, and no wait ever takes a shard.
#include "../Window.h"

#include <unistd.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "WaitCore.h"

namespace tavrin::posix {

namespace {
// An internal wake kind: a reply to one of this thread's sends has come.
constexpr DWORD kQsReply = 0x80000000u;

struct WindowState;
}  // namespace

// Under the sender's queue stripe once queued: result, done.
struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool done = false;
    ThreadQueue* sender = nullptr;
    std::shared_ptr<WindowState> window;
};

// Everything but `thread` is under the queue's stripe.
struct ThreadQueue {
    DWORD thread = 0;
    std::deque<MSG> posted;
    std::uint64_t postCount = 0;
    bool quitPosted = false;
    int quitCode = 0;
    std::deque<SentMessage*> sent;
    bool replyPending = false;
    Waiter* blocked = nullptr;
    // The thread has ended: nothing is posted here any more.
    bool ended = false;
    // The windows this thread owns, so that its end costs what it owns and
    // not what the process has.
    std::unordered_set<HWND> windows;
};

namespace {

struct WindowState {
    WindowState(HWND handle, std::shared_ptr<ThreadQueue> queue, std::shared_ptr<WindowProcedure> procedure)
        : hwnd(handle), owner(std::move(queue)), proc(std::move(procedure))
    {
    }
    const HWND hwnd;
    const std::shared_ptr<ThreadQueue> owner;
    const std::shared_ptr<WindowProcedure> proc;
    // Under the owner's stripe. Set once the window has left the table: a
    // sender or poster that found it before sees that under the same
    // stripe as the destruction's release of queued sends, so none is left
    // behind.
    bool destroyed = false;
    // Under the owner's stripe; a window's parent and children always have
    // its owner.
    HWND parent = nullptr;
    std::vector<HWND> children;  // in the order they were given this parent
};

// The window table, sharded by handle. Leaf locks: taken alone or under a
// stripe, never holding anything else.
struct alignas(128) WindowShard {
    std::mutex lock;
    std::unordered_map<HWND, std::shared_ptr<WindowState>> windows;
};
constexpr std::size_t kWindowShards = 64;

WindowShard& ShardOf(HWND hwnd)
{
    static auto* shards = new WindowShard[kWindowShards];
    // Handles are handed out 0x10 apart.
    return shards[(reinterpret_cast<std::uintptr_t>(hwnd) >> 4) % kWindowShards];
}

std::shared_ptr<WindowState> LookupWindow(HWND hwnd)
{
    WindowShard& shard = ShardOf(hwnd);
    std::lock_guard lock(shard.lock);
    auto window = shard.windows.find(hwnd);
    return window == shard.windows.end() ? nullptr : window->second;
}

void InsertWindow(const std::shared_ptr<WindowState>& window)
{
    WindowShard& shard = ShardOf(window->hwnd);
    std::lock_guard lock(shard.lock);
    shard.windows.emplace(window->hwnd, window);
}

void EraseWindow(HWND hwnd)
{
    WindowShard& shard = ShardOf(hwnd);
    std::lock_guard lock(shard.lock);
    shard.windows.erase(hwnd);
}

// The thread queues by thread id, for PostThreadMessageA. A leaf lock.
std::mutex g_queuesLock;
std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>>& Queues()
{
    static auto* queues = new std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>>();
    return *queues;
}

std::atomic<std::uintptr_t> g_nextWindow{0x1000};  // handles are never reused

struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder() { ReleaseCurrentThreadQueue(); }
};
thread_local QueueHolder t_holder;

// The threads whose sent messages this thread is handling right now,
// innermost last: what InSendMessage answers from.
thread_local std::vector<DWORD> t_senders;

struct SenderRecord {
    explicit SenderRecord(DWORD sender) { t_senders.push_back(sender); }
    ~SenderRecord() { t_senders.pop_back(); }
    SenderRecord(const SenderRecord&) = delete;
    SenderRecord& operator=(const SenderRecord&) = delete;
};

std::shared_ptr<ThreadQueue> CurrentQueue()
{
    if (!t_holder.queue) {
        auto queue = std::make_shared<ThreadQueue>();
        queue->thread = GetCurrentThreadId();
        {
            std::lock_guard lock(g_queuesLock);
            Queues()[queue->thread] = queue;
        }
        t_holder.queue = queue;
    }
    return t_holder.queue;
}

// Under the queue's stripe.
void WakeForInputLocked(ThreadQueue* queue)
{
    if (queue->blocked)
        OfferInputLocked(*queue->blocked);
}

// Under the sender's stripe.
void CompleteLocked(SentMessage* sent, LRESULT result)
{
    sent->result = result;
    sent->done = true;
    sent->sender->replyPending = true;
    WakeForInputLocked(sent->sender);
}

// Under no stripe: the message has left the owner's queue, so nobody else
// completes it, and its sender is still blocked on it.
void Complete(SentMessage* sent, LRESULT result)
{
    StripeLock lock(sent->sender);
    CompleteLocked(sent, result);
}

// Handles one message sent from another thread; `lock` covers the queue and
// is dropped while the window procedure runs and while the sender's reply
// is made.
bool HandleOneSentLocked(StripeLock& lock, ThreadQueue* queue)
{
    if (queue->sent.empty())
        return false;
    SentMessage* sent = queue->sent.front();
    queue->sent.pop_front();
    const bool gone = sent->window->destroyed;
    std::shared_ptr<WindowProcedure> proc = sent->window->proc;
    const DWORD sender = sent->sender->thread;
    lock.unlock();
    LRESULT result = 0;
    if (!gone) {
        SenderRecord record(sender);
        result = (*proc)(sent->hwnd, sent->message, sent->wParam, sent->lParam);
    }
    Complete(sent, result);
    lock.lock();
    return true;
}

bool Matches(const MSG& msg, HWND filter, UINT low, UINT high)
{
    if (filter == reinterpret_cast<HWND>(-1)) {
        if (msg.hwnd)
            return false;
    } else if (filter && msg.hwnd != filter) {
        return false;
    }
    if (low == 0 && high == 0)
        return true;
    return msg.message >= low && msg.message <= high;
}

bool TakePostedLocked(ThreadQueue* queue, MSG* out, HWND filter, UINT low, UINT high, bool remove)
{
    for (auto it = queue->posted.begin(); it != queue->posted.end(); ++it) {
        if (!Matches(*it, filter, low, high))
            continue;
        if (out)
            *out = *it;
        if (remove)
            queue->posted.erase(it);
        return true;
    }
    if (queue->quitPosted) {
        if (out) {
            *out = MSG{};
            out->message = WM_QUIT;
            out->wParam = static_cast<WPARAM>(queue->quitCode);
            out->time = GetTickCount();
        }
        if (remove)
            queue->quitPosted = false;
        return true;
    }
    return false;
}

// Under the owner's stripe.
void UnlinkParentLocked(WindowState& window)
{
    if (!window.parent)
        return;
    if (auto parent = LookupWindow(window.parent))
        std::erase(parent->children, window.hwnd);
    window.parent = nullptr;
}

// Under the owner's stripe: the window leaves its family, its queued posts
// are dropped and the sends waiting on it are handed back for release.
void ForgetWindowLocked(WindowState& window, std::vector<SentMessage*>& orphans)
{
    ThreadQueue* owner = window.owner.get();
    window.destroyed = true;
    UnlinkParentLocked(window);
    for (HWND child : window.children)
        if (auto record = LookupWindow(child))
            record->parent = nullptr;
    window.children.clear();
    owner->windows.erase(window.hwnd);
    for (auto it = owner->sent.begin(); it != owner->sent.end();) {
        if ((*it)->hwnd == window.hwnd) {
            orphans.push_back(*it);
            it = owner->sent.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = owner->posted.begin(); it != owner->posted.end();)
        it = it->hwnd == window.hwnd ? owner->posted.erase(it) : it + 1;
}

// Removes a window and releases every sender still waiting on it. Children
// that are still there (given to it while it was being destroyed) become
// top-level windows.
void ForgetWindow(WindowState& window)
{
    // Out of the table first: from here on IsWindow says no and no new
    // sender or poster finds it.
    EraseWindow(window.hwnd);
    std::vector<SentMessage*> orphans;
    {
        StripeLock lock(window.owner.get());
        if (window.destroyed)
            return;
        ForgetWindowLocked(window, orphans);
    }
    for (SentMessage* sent : orphans)
        Complete(sent, 0);
}

// Under the queue's stripe.
void PostLocked(ThreadQueue* queue, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    MSG msg{};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    queue->posted.push_back(msg);
    ++queue->postCount;
    WakeForInputLocked(queue);
}

HWND CreateWindowLocked(std::shared_ptr<WindowProcedure> proc)
{
    auto owner = CurrentQueue();
    HWND hwnd = reinterpret_cast<HWND>(g_nextWindow.fetch_add(0x10) + 0x10);
    auto window = std::make_shared<WindowState>(hwnd, owner, std::move(proc));
    {
        StripeLock lock(owner.get());
        owner->windows.insert(hwnd);
    }
    InsertWindow(window);
    return hwnd;
}

}  // namespace

bool QueueHasInputLocked(const Waiter& waiter)
{
    const ThreadQueue* queue = waiter.queue;
    if ((waiter.inputMask & QS_SENDMESSAGE) && !queue->sent.empty())
        return true;
    if ((waiter.inputMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) &&
        (queue->postCount != waiter.seenPosts || queue->quitPosted))
        return true;
    return (waiter.inputMask & kQsReply) && queue->replyPending;
}

void QueueSetBlockedLocked(ThreadQueue* queue, Waiter* waiter)
{
    queue->blocked = waiter;
}

void ReleaseCurrentThreadQueue()
{
    std::shared_ptr<ThreadQueue> queue = std::move(t_holder.queue);
    if (!queue)
        return;
    {
        std::lock_guard lock(g_queuesLock);
        Queues().erase(queue->thread);
    }
    std::vector<SentMessage*> orphans;
    {
        StripeLock lock(queue.get());
        queue->ended = true;
        for (HWND hwnd : queue->windows) {
            if (auto window = LookupWindow(hwnd))
                window->destroyed = true;
            EraseWindow(hwnd);
        }
        queue->windows.clear();
        orphans.assign(queue->sent.begin(), queue->sent.end());
        queue->sent.clear();
    }
    for (SentMessage* sent : orphans)
        Complete(sent, 0);
}

}  // namespace tavrin::posix

using namespace tavrin::posix;

HWND CreateMessageWindow(WNDPROC proc)
{
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateWindowLocked(std::make_shared<WindowProcedure>(proc));
}

HWND CreateMessageWindow(WindowProcedure proc)
{
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateWindowLocked(std::make_shared<WindowProcedure>(std::move(proc)));
}

BOOL WINAPI IsWindow(HWND hWnd)
{
    return LookupWindow(hWnd) ? TRUE : FALSE;
}

BOOL WINAPI DestroyWindow(HWND hWnd)
{
    auto self = CurrentQueue();
    auto window = LookupWindow(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (window->owner != self) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    (*window->proc)(hWnd, WM_DESTROY, 0, 0);
    // As on Windows, the children go after the parent has had its
    // WM_DESTROY, so the parent's handler still finds them.
    for (;;) {
        HWND child;
        {
            StripeLock lock(self.get());
            if (window->destroyed || window->children.empty())
                break;
            child = window->children.front();
        }
        if (!DestroyWindow(child)) {
            // Only a child that is already gone can fail here (every child
            // belongs to this thread); never loop on it.
            StripeLock lock(self.get());
            std::erase(window->children, child);
        }
    }
    ForgetWindow(*window);
    return TRUE;
}

HWND WINAPI SetParent(HWND hWndChild, HWND hWndNewParent)
{
    auto self = CurrentQueue();
    auto child = LookupWindow(hWndChild);
    auto parent = hWndNewParent ? LookupWindow(hWndNewParent) : nullptr;
    if (!child || (hWndNewParent && !parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (child->owner != self || (parent && parent->owner != self)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    // Only this thread changes its windows' families; the stripe is for
    // GetParent on other threads.
    StripeLock lock(self.get());
    // A window cannot become a child of itself or of one of its children.
    for (auto up = parent; up; up = up->parent ? LookupWindow(up->parent) : nullptr) {
        if (up == child) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    HWND previous = child->parent;
    UnlinkParentLocked(*child);
    if (parent) {
        child->parent = hWndNewParent;
        parent->children.push_back(hWndChild);
    }
    SetLastError(ERROR_SUCCESS);
    return previous;
}

HWND WINAPI GetParent(HWND hWnd)
{
    auto window = LookupWindow(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    StripeLock lock(window->owner.get());
    return window->parent;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto self = CurrentQueue();
    auto window = LookupWindow(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (window->owner == self)
        return (*window->proc)(hWnd, Msg, wParam, lParam);
    SentMessage sent{hWnd, Msg, wParam, lParam, 0, false, self.get(), window};
    ThreadQueue* owner = window->owner.get();
    {
        StripeLock lock(owner);
        if (window->destroyed) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        owner->sent.push_back(&sent);
        WakeForInputLocked(owner);
    }
    // While waiting for the answer, handle what other threads send to this
    // one: two threads sending to each other's windows must not deadlock.
    StripeLock lock(self.get());
    while (!sent.done) {
        if (HandleOneSentLocked(lock, self.get()))
            continue;
        self->replyPending = false;
        Waiter waiter;
        waiter.thread = self->thread;
        waiter.queue = self.get();
        waiter.inputMask = QS_SENDMESSAGE | kQsReply;
        if (sent.done || TrySatisfyLocked(waiter))
            continue;
        BlockLocked(lock, waiter, INFINITE);
        lock.lock();
    }
    return sent.result;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (!hWnd) {
        auto self = CurrentQueue();
        StripeLock lock(self.get());
        PostLocked(self.get(), nullptr, Msg, wParam, lParam);
        return TRUE;
    }
    auto window = LookupWindow(hWnd);
    if (window) {
        StripeLock lock(window->owner.get());
        if (!window->destroyed) {
            PostLocked(window->owner.get(), hWnd, Msg, wParam, lParam);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<ThreadQueue> queue;
    {
        std::lock_guard lock(g_queuesLock);
        auto found = Queues().find(idThread);
        if (found != Queues().end())
            queue = found->second;
    }
    if (queue) {
        StripeLock lock(queue.get());
        if (!queue->ended) {
            PostLocked(queue.get(), nullptr, Msg, wParam, lParam);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

void WINAPI PostQuitMessage(int nExitCode)
{
    auto self = CurrentQueue();
    StripeLock lock(self.get());
    self->quitPosted = true;
    self->quitCode = nExitCode;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    if (lpdwProcessId)
        *lpdwProcessId = static_cast<DWORD>(getpid());
    auto window = LookupWindow(hWnd);
    return window ? window->owner->thread : 0;
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    auto self = CurrentQueue();
    StripeLock lock(self.get());
    for (;;) {
        if (HandleOneSentLocked(lock, self.get()))
            continue;
        if (TakePostedLocked(self.get(), lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true))
            return lpMsg->message == WM_QUIT ? FALSE : TRUE;
        Waiter waiter;
        waiter.thread = self->thread;
        waiter.queue = self.get();
        waiter.inputMask = QS_ALLINPUT;
        waiter.seenPosts = self->postCount;
        BlockLocked(lock, waiter, INFINITE);
        lock.lock();
    }
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    auto self = CurrentQueue();
    StripeLock lock(self.get());
    while (HandleOneSentLocked(lock, self.get())) {
    }
    if (wRemoveMsg & PM_QS_SENDMESSAGE)
        return FALSE;
    return TakePostedLocked(self.get(), lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0)
               ? TRUE
               : FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg)
{
    if (!lpMsg || !lpMsg->hwnd)
        return 0;
    auto self = CurrentQueue();
    auto window = LookupWindow(lpMsg->hwnd);
    if (!window || window->owner != self)
        return 0;
    return (*window->proc)(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

BOOL WINAPI TranslateMessage(const MSG*)
{
    return FALSE;
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                       DWORD dwWakeMask)
{
    if (nCount >= MAXIMUM_WAIT_OBJECTS || (nCount > 0 && !pHandles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    auto self = CurrentQueue();
    // The queue and the objects under one set of stripes, so that the look
    // at the queue and the linking of the waiter are one step.
    StripeLock lock;
    lock.Add(self.get());
    for (DWORD i = 0; i < nCount; ++i)
        lock.Add(pHandles[i]);
    lock.lock();
    bool handled = false;
    if (dwWakeMask & QS_SENDMESSAGE)
        while (HandleOneSentLocked(lock, self.get()))
            handled = true;
    if (handled || ((dwWakeMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) &&
                    (!self->posted.empty() || self->quitPosted)))
        return WAIT_OBJECT_0 + nCount;

    Waiter waiter;
    waiter.thread = self->thread;
    waiter.waitAll = fWaitAll != FALSE;
    waiter.count = nCount;
    waiter.queue = self.get();
    waiter.inputMask = dwWakeMask & ~kQsReply;
    waiter.seenPosts = self->postCount;
    for (DWORD i = 0; i < nCount; ++i) {
        SyncObject* object = LookupLocked(pHandles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        waiter.links[i].waiter = &waiter;
        waiter.links[i].object = object;
    }
    DWORD result;
    if (TrySatisfyLocked(waiter)) {
        result = waiter.result;
        lock.unlock();
    } else {
        result = BlockLocked(lock, waiter, dwMilliseconds);
    }
    if (result == WAIT_FAILED) {
        SetLastError(waiter.error);
    } else if (result == WAIT_OBJECT_0 + nCount && (dwWakeMask & QS_SENDMESSAGE)) {
        StripeLock queueLock(self.get());
        while (HandleOneSentLocked(queueLock, self.get())) {
        }
    }
    return result;
}

BOOL WINAPI InSendMessage()
{
    return t_senders.empty() ? FALSE : TRUE;
}

BOOL WINAPI InSendMessageFromThread(DWORD idSender)
{
    for (DWORD sender : t_senders)
        if (sender == idSender)
            return TRUE;
    return FALSE;
}

// Every send names its sender here already.
LRESULT WINAPI SendMessageNoted(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return SendMessageA(hWnd, Msg, wParam, lParam);
}
