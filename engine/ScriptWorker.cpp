// The command-script worker. Until the script language lands it answers
// every cycle, claims no data and takes no command.
#include "WorkerLoop.h"

DWORD WINAPI ScriptThreadProc(LPVOID pSlot)
{
    return tavrin::engine::RunWorker<tavrin::engine::WorkerLoop>(pSlot);
}
