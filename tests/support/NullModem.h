// The null-modem cable of the tavrin host, shared with the tests.
#pragma once

#include <NullModem.h>  // tools/

namespace tavrin::test {

using tavrin::tool::NullModemDevice;

}  // namespace tavrin::test
