// Internal to the POSIX backend: how a thread blocked in the status-line
// wait (which no descriptor can wake) is made to return. Exported only so
// that the platform tests can hold it to hosts that block signals or
// restart interrupted calls.
#pragma once

#include <pthread.h>

#include "../Export.h"

namespace tavrin::posix {

// Makes the calling thread's next blocking system call end with EINTR, not
// restart, when InterruptModemWaiter reaches it, whatever the process's
// signal mask and handlers. 0, or EAGAIN when every signal it could use is
// taken by the host (the status wait is then not used).
TAVRIN_API int PrepareModemWaiter();
// Interrupts a thread prepared by PrepareModemWaiter.
TAVRIN_API void InterruptModemWaiter(pthread_t thread);

}  // namespace tavrin::posix
