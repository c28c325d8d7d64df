// The rate a pseudo-terminal's line is set to, as the library sets it:
// through termios2, which holds any rate. <asm/termbits.h> and <termios.h>
// cannot share a file, hence this one.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "PtyPair.h"

namespace tavrin::test {

unsigned long PtyLineRate(int fd)
{
    termios2 tio{};
    return ioctl(fd, TCGETS2, &tio) == 0 ? tio.c_ospeed : 0;
}

int PtyStopBits(int fd)
{
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    return (tio.c_cflag & CSTOPB) ? 2 : 1;
}

}  // namespace tavrin::test
