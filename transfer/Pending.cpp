// Scaffolding: the engines built on other branches, so that the library
// links here. Each refuses with a sentence that says why.
#include "Session.h"

namespace tavrin::transfer {
namespace {

bool NotBuilt(const char* protocol, std::string& error)
{
    error = std::string(protocol) + " is not built yet";
    return false;
}

}  // namespace

bool SendXmodem(Link&, Reporter&, const Job&, std::string& error) { return NotBuilt("XMODEM", error); }
bool ReceiveXmodem(Link&, Reporter&, const Job&, std::string& error) { return NotBuilt("XMODEM", error); }
bool SendZmodem(Link&, Reporter&, const Job&, std::string& error) { return NotBuilt("ZMODEM", error); }
bool ReceiveZmodem(Link&, Reporter&, const Job&, std::string& error) { return NotBuilt("ZMODEM", error); }

}  // namespace tavrin::transfer
