// The engines this branch does not build: each fails at once, saying so.
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

bool SendPacketFiles(Link&, Reporter&, const Job&, std::string& error)
{
    error = "the packet transfer is not built yet";
    return false;
}

bool ReceivePacketFiles(Link&, Reporter&, const Job&, std::string& error)
{
    error = "the packet transfer is not built yet";
    return false;
}

}  // namespace tavrin::transfer
