// The serial vocabulary the host needs (DCB and its values) and whether the
// library it is built against has serial ports (CCom) yet.
#pragma once

#if __has_include(<tavrin/platform/Comm.h>)
#include <tavrin/platform/Comm.h>
#else
// The library does not export its comm declarations yet; the DCB layout and
// its values are plain declarations, so the host reads them from the tree.
#include "../platform/Comm.h"
#endif

#if __has_include(<tavrin/serial/Com.h>)
#include <tavrin/serial/Com.h>
#define TAVRIN_TOOL_HAS_SERIAL 1
#else
#define TAVRIN_TOOL_HAS_SERIAL 0
#endif
