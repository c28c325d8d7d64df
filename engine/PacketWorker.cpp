// The packet-link worker. Until the packet protocol lands it answers every
// cycle, claims no data and takes no command.
#include "WorkerLoop.h"

DWORD WINAPI PacketThreadProc(LPVOID pSlot)
{
    return tavrin::engine::RunWorker<tavrin::engine::WorkerLoop>(pSlot);
}
