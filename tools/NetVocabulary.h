// Whether the library the host is built against has its socket device
// (CLan) yet, and its declarations when it has. TAVRIN_TOOL_HAS_LAN comes
// from the build: the header may be there before the code behind it.
#pragma once

#ifndef TAVRIN_TOOL_HAS_LAN
#define TAVRIN_TOOL_HAS_LAN 0
#endif

#if TAVRIN_TOOL_HAS_LAN
#if __has_include(<tavrin/net/Lan.h>)
#include <tavrin/net/Lan.h>
#else
#include "../net/Lan.h"
#endif
#endif
