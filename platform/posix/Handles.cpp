// POSIX backend of the handles: the table of live kernel objects, lookup,
// CloseHandle and DuplicateHandle.
#include "../Kernel.h"

#include <cstdint>
#include <unordered_set>

#include "WaitCore.h"

namespace tavrin::posix {
namespace {

// Handles are object addresses; these sets, one per stripe and guarded by
// it, tell a live object from a closed (or never valid) one. Only ever
// probed, inserted into and erased from: nothing may walk them, since
// together they are as large as the whole process.
std::unordered_set<SyncObject*>& LiveObjects(const void* handle)
{
    static auto* live = new std::unordered_set<SyncObject*>[kStripeCount];
    return live[StripeOf(handle)];
}

}  // namespace

HANDLE RegisterObject(SyncObject* object)
{
    StripeLock lock(object);
    LiveObjects(object).insert(object);
    return object;
}

SyncObject* LookupLocked(HANDLE handle)
{
    auto* object = static_cast<SyncObject*>(handle);
    if (!object || LiveObjects(handle).count(object) == 0 || object->handles == 0)
        return nullptr;
    return object;
}

void DeleteIfUnreferencedLocked(SyncObject* object)
{
    if (object->handles == 0 && object->internalRefs == 0) {
        LiveObjects(object).erase(object);
        delete object;
    }
}

}  // namespace tavrin::posix

using namespace tavrin::posix;

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    StripeLock lock(hObject);
    SyncObject* object = LookupLocked(hObject);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--object->handles == 0) {
        object->FailAllWaiters();
        object->OnLastHandleClosed();
        if (object->ClosesOutsideLock()) {
            ++object->internalRefs;
            lock.unlock();
            object->CloseOutsideLock();
            lock.lock();
            --object->internalRefs;
        }
        DeleteIfUnreferencedLocked(object);
    }
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            HANDLE* lpTargetHandle, DWORD, BOOL, DWORD)
{
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess() ||
        !lpTargetHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    StripeLock lock(hSourceHandle);
    SyncObject* object = LookupLocked(hSourceHandle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ++object->handles;
    *lpTargetHandle = object;
    return TRUE;
}
