// UUCP lock files, so that the host and other serial programs (minicom,
// cu, picocom built with them) do not open one port at once:
// LOCKDIR/LCK..ttyUSB0 holds the holder's PID as ten right-aligned digits
// and a newline. LOCKDIR is TAVRIN_LOCK_DIR when set, else /var/lock, else
// /run/lock. A symbolic link is locked by the name of the device it leads
// to. For /dev/pts/N both LCK..N and LCK..pts_N are honoured, and
// LCK..pts_N is the one made: a bare number could be some other tty's.
//
// A lock whose holder is gone (kill(pid, 0) fails with ESRCH) is stale and
// taken over. A lock folder this user cannot write means no lock at all:
// the port is opened anyway, and that is said once. Locks still held are
// removed when the program returns from main. Windows opens a COM port
// for one program only by itself: there, no file is made.
#pragma once

#include <string>

namespace tavrin::tool {

// Takes the lock of the port at path for owner (the device opening it);
// false, with the holder's name and PID in error, when a live process holds it.
bool LockPort(const void* owner, const std::string& path, std::string& error);
// Removes the lock owner holds, if any.
void UnlockPort(const void* owner);
// Who holds the device at path open with flock, as tio and picocom do (and
// this library does): "tio (pid 4242)"; empty when no such lock is found.
// For the message of an open refused as in use.
std::string DescribePortHolder(const std::string& path);

}  // namespace tavrin::tool
