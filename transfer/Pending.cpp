// Scaffolding: the ZMODEM engines, built on another branch, so that the
// library links here. Each refuses with a sentence that says why.
#include "Session.h"

namespace tavrin::transfer {

bool SendZmodem(Link&, Reporter&, const Job&, std::string& error)
{
    error = "ZMODEM is not built yet";
    return false;
}

bool ReceiveZmodem(Link&, Reporter&, const Job&, std::string& error)
{
    error = "ZMODEM is not built yet";
    return false;
}

}  // namespace tavrin::transfer
