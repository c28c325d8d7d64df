// A COM port opens for one process at a time on Windows: the system is the lock.
#include "PortLock.h"

namespace tavrin::tool {

bool LockPort(const void*, const std::string&, std::string&)
{
    return true;
}

void UnlockPort(const void*) {}

std::string DescribePortHolder(const std::string&)
{
    return std::string();
}

}  // namespace tavrin::tool
