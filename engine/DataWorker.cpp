// The plain-data worker: claims every block whole and, having the lowest
// priority in the merge, reports what the other two workers leave.
#include "WorkerLoop.h"

namespace tavrin::engine {
namespace {

class DataWorker final : public WorkerLoop {
public:
    using WorkerLoop::WorkerLoop;

private:
    void OnScan() override
    {
        m_slot.dwMatchStart = 0;
        m_slot.dwMatchEnd = m_slot.dwDataLength;
    }

    // A host that takes no data notifications (a bridge, whose data goes
    // to the linked device) costs the worker no wake-up per region.
    bool DeliverQuietly() override
    {
        return tavrin::detail::DeviceEngine::Unheard(*m_slot.pOwner, DEVMSG_DATA);
    }

    void OnDeliver() override
    {
        if (m_slot.dwDataLength == 0 || !m_slot.pData)
            return;
        CDevice* owner = m_slot.pOwner;
        owner->SendNotify(owner->GetMessageA(DEVMSG_DATA), m_slot.dwDataLength,
                          reinterpret_cast<LPARAM>(m_slot.pData));
    }
};

}  // namespace
}  // namespace tavrin::engine

DWORD WINAPI DataThreadProc(LPVOID pSlot)
{
    return tavrin::engine::RunWorker<tavrin::engine::DataWorker>(pSlot);
}
