// POSIX backend of the events, auto- and manual-reset.
#include "../Kernel.h"

#include <new>

#include "WaitCore.h"

namespace tavrin::posix {
namespace {

class EventObject final : public SyncObject {
public:
    EventObject(bool manualReset, bool initialState)
        : SyncObject(Kind::Event), manual(manualReset), signalled(initialState)
    {
    }
    bool IsSignalledFor(DWORD) const override { return signalled; }
    void Acquire(ThreadRecord&) override
    {
        if (!manual)
            signalled = false;
    }
    bool manual;
    bool signalled;
};

}  // namespace
}  // namespace tavrin::posix

using namespace tavrin::posix;

HANDLE WINAPI CreateEventA(void*, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    if (lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* event = new (std::nothrow) EventObject(bManualReset != FALSE, bInitialState != FALSE);
    if (!event) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return RegisterObject(event);
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    StripeLock lock(hEvent);
    auto* event = LookupKindLocked<EventObject>(hEvent, SyncObject::Kind::Event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!event->signalled) {
        event->signalled = true;
        event->OfferToWaiters();
    }
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    StripeLock lock(hEvent);
    auto* event = LookupKindLocked<EventObject>(hEvent, SyncObject::Kind::Event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->signalled = false;
    return TRUE;
}
