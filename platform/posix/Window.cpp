// POSIX backend of the message windows: one queue per thread, kept under
// the same lock as the kernel objects so that a thread can wait for objects
// and messages at once.
#include "../Window.h"

#include <unistd.h>

#include <deque>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "WaitCore.h"

namespace tavrin::posix {

namespace {
// An internal wake kind: a reply to one of this thread's sends has come.
constexpr DWORD kQsReply = 0x80000000u;
}  // namespace

struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool done = false;
    ThreadQueue* sender = nullptr;
};

struct ThreadQueue {
    DWORD thread = 0;
    std::deque<MSG> posted;
    std::uint64_t postCount = 0;
    bool quitPosted = false;
    int quitCode = 0;
    std::deque<SentMessage*> sent;
    bool replyPending = false;
    Waiter* blocked = nullptr;
    // The windows this thread owns, so that its end costs what it owns and
    // not what the process has.
    std::unordered_set<HWND> windows;
};

namespace {

struct WindowRecord {
    std::shared_ptr<ThreadQueue> owner;
    std::shared_ptr<WindowProcedure> proc;
    HWND parent = nullptr;
    std::vector<HWND> children;  // in the order they were given this parent
};

std::unordered_map<HWND, WindowRecord>& Windows()
{
    static auto* windows = new std::unordered_map<HWND, WindowRecord>();
    return *windows;
}

std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>>& Queues()
{
    static auto* queues = new std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>>();
    return *queues;
}

std::uintptr_t g_nextWindow = 0x1000;  // under SyncLock; handles are never reused

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
        SyncGuard lock;
        Queues()[queue->thread] = queue;
        t_holder.queue = queue;
    }
    return t_holder.queue;
}

void WakeForInputLocked(ThreadQueue* queue)
{
    if (queue->blocked && TrySatisfyLocked(*queue->blocked))
        FinishLocked(*queue->blocked, queue->blocked->result, ERROR_SUCCESS);
}

void CompleteLocked(SentMessage* sent, LRESULT result)
{
    sent->result = result;
    sent->done = true;
    sent->sender->replyPending = true;
    WakeForInputLocked(sent->sender);
}

// Handles one message sent from another thread; the lock is dropped while
// the window procedure runs.
bool HandleOneSentLocked(SyncGuard& lock, ThreadQueue* queue)
{
    if (queue->sent.empty())
        return false;
    SentMessage* sent = queue->sent.front();
    queue->sent.pop_front();
    auto window = Windows().find(sent->hwnd);
    if (window == Windows().end()) {
        CompleteLocked(sent, 0);
        return true;
    }
    std::shared_ptr<WindowProcedure> proc = window->second.proc;
    const DWORD sender = sent->sender->thread;
    lock.unlock();
    LRESULT result;
    {
        SenderRecord record(sender);
        result = (*proc)(sent->hwnd, sent->message, sent->wParam, sent->lParam);
    }
    lock.lock();
    CompleteLocked(sent, result);
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

void UnlinkParentLocked(HWND hwnd, WindowRecord& record)
{
    if (!record.parent)
        return;
    auto parent = Windows().find(record.parent);
    if (parent != Windows().end())
        std::erase(parent->second.children, hwnd);
    record.parent = nullptr;
}

// Removes a window and releases every sender still waiting on it. Children
// that are still there (given to it while it was being destroyed) become
// top-level windows.
void ForgetWindowLocked(HWND hwnd, ThreadQueue* owner)
{
    auto window = Windows().find(hwnd);
    if (window != Windows().end()) {
        UnlinkParentLocked(hwnd, window->second);
        for (HWND child : window->second.children) {
            auto record = Windows().find(child);
            if (record != Windows().end())
                record->second.parent = nullptr;
        }
    }
    Windows().erase(hwnd);
    owner->windows.erase(hwnd);
    for (auto it = owner->sent.begin(); it != owner->sent.end();) {
        if ((*it)->hwnd == hwnd) {
            CompleteLocked(*it, 0);
            it = owner->sent.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = owner->posted.begin(); it != owner->posted.end();)
        it = it->hwnd == hwnd ? owner->posted.erase(it) : it + 1;
}

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
    SyncGuard lock;
    g_nextWindow += 0x10;
    HWND hwnd = reinterpret_cast<HWND>(g_nextWindow);
    WindowRecord& record = Windows()[hwnd];
    record.owner = owner;
    record.proc = std::move(proc);
    owner->windows.insert(hwnd);
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
    SyncGuard lock;
    for (HWND hwnd : queue->windows)
        Windows().erase(hwnd);
    queue->windows.clear();
    for (SentMessage* sent : queue->sent)
        CompleteLocked(sent, 0);
    queue->sent.clear();
    Queues().erase(queue->thread);
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
    SyncGuard lock;
    return Windows().count(hWnd) ? TRUE : FALSE;
}

BOOL WINAPI DestroyWindow(HWND hWnd)
{
    auto self = CurrentQueue();
    SyncGuard lock;
    auto window = Windows().find(hWnd);
    if (window == Windows().end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (window->second.owner != self) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::shared_ptr<WindowProcedure> proc = window->second.proc;
    lock.unlock();
    (*proc)(hWnd, WM_DESTROY, 0, 0);
    // As on Windows, the children go after the parent has had its
    // WM_DESTROY, so the parent's handler still finds them.
    for (;;) {
        lock.lock();
        window = Windows().find(hWnd);
        if (window == Windows().end() || window->second.children.empty())
            break;
        HWND child = window->second.children.front();
        lock.unlock();
        if (!DestroyWindow(child)) {
            // Only a child that is already gone can fail here (every child
            // belongs to this thread); never loop on it.
            lock.lock();
            window = Windows().find(hWnd);
            if (window != Windows().end())
                std::erase(window->second.children, child);
            lock.unlock();
        }
    }
    if (window != Windows().end())
        ForgetWindowLocked(hWnd, self.get());
    return TRUE;
}

HWND WINAPI SetParent(HWND hWndChild, HWND hWndNewParent)
{
    auto self = CurrentQueue();
    SyncGuard lock;
    auto child = Windows().find(hWndChild);
    auto parent = hWndNewParent ? Windows().find(hWndNewParent) : Windows().end();
    if (child == Windows().end() || (hWndNewParent && parent == Windows().end())) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (child->second.owner != self || (hWndNewParent && parent->second.owner != self)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    // A window cannot become a child of itself or of one of its children.
    for (HWND up = hWndNewParent; up; up = Windows().at(up).parent) {
        if (up == hWndChild) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    HWND previous = child->second.parent;
    UnlinkParentLocked(hWndChild, child->second);
    if (hWndNewParent) {
        child->second.parent = hWndNewParent;
        parent->second.children.push_back(hWndChild);
    }
    SetLastError(ERROR_SUCCESS);
    return previous;
}

HWND WINAPI GetParent(HWND hWnd)
{
    SyncGuard lock;
    auto window = Windows().find(hWnd);
    if (window == Windows().end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return window->second.parent;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto self = CurrentQueue();
    SyncGuard lock;
    auto window = Windows().find(hWnd);
    if (window == Windows().end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (window->second.owner == self) {
        std::shared_ptr<WindowProcedure> proc = window->second.proc;
        lock.unlock();
        return (*proc)(hWnd, Msg, wParam, lParam);
    }
    SentMessage sent{hWnd, Msg, wParam, lParam};
    sent.sender = self.get();
    ThreadQueue* owner = window->second.owner.get();
    owner->sent.push_back(&sent);
    WakeForInputLocked(owner);
    // While waiting for the answer, handle what other threads send to this
    // one: two threads sending to each other's windows must not deadlock.
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
        SyncGuard lock;
        PostLocked(self.get(), nullptr, Msg, wParam, lParam);
        return TRUE;
    }
    SyncGuard lock;
    auto window = Windows().find(hWnd);
    if (window == Windows().end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    PostLocked(window->second.owner.get(), hWnd, Msg, wParam, lParam);
    return TRUE;
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    SyncGuard lock;
    auto queue = Queues().find(idThread);
    if (queue == Queues().end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PostLocked(queue->second.get(), nullptr, Msg, wParam, lParam);
    return TRUE;
}

void WINAPI PostQuitMessage(int nExitCode)
{
    auto self = CurrentQueue();
    SyncGuard lock;
    self->quitPosted = true;
    self->quitCode = nExitCode;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    if (lpdwProcessId)
        *lpdwProcessId = static_cast<DWORD>(getpid());
    SyncGuard lock;
    auto window = Windows().find(hWnd);
    return window == Windows().end() ? 0 : window->second.owner->thread;
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    auto self = CurrentQueue();
    SyncGuard lock;
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
    SyncGuard lock;
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
    SyncGuard lock;
    auto window = Windows().find(lpMsg->hwnd);
    if (window == Windows().end() || window->second.owner != self)
        return 0;
    std::shared_ptr<WindowProcedure> proc = window->second.proc;
    lock.unlock();
    return (*proc)(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
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
    SyncGuard lock;
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
        lock.lock();
        while (HandleOneSentLocked(lock, self.get())) {
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
