// The engines this branch does not build: each fails at once, saying so.
#include "Session.h"

namespace tavrin::transfer {

bool SendXmodem(Link&, Reporter&, const Job& job, std::string& error)
{
    error = job.protocol == XFER_YMODEM || job.protocol == XFER_YMODEM_G ? "YMODEM is not built yet"
                                                                          : "XMODEM is not built yet";
    return false;
}

bool ReceiveXmodem(Link&, Reporter&, const Job& job, std::string& error)
{
    error = job.protocol == XFER_YMODEM || job.protocol == XFER_YMODEM_G ? "YMODEM is not built yet"
                                                                          : "XMODEM is not built yet";
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
