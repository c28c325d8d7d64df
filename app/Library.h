// The library's start-up, run when the library is loaded.
//
// The start-up starts the sockets. When they cannot be started (a sandbox
// that forbids IPv4 sockets, no descriptors left) it shows the message box
// "Windows sockets initialization failed." once, and the library, though
// loaded, is not fit for use: where Windows would have refused to load it,
// here the library stays in the process with its sockets not started, so
// that every socket operation fails with WSANOTINITIALISED and no network
// device opens. A host that must behave as it would on Windows checks this
// before it uses any device.
#pragma once

#include "../platform/Types.h"

// TRUE when the start-up succeeded. Any thread.
TAVRIN_API BOOL TavrinStartupSucceeded();
