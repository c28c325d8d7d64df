// A network of the test process's own, for traffic that must never reach
// the machine's network (broadcasts): a new network namespace holding only
// the loopback interface.
#pragma once

#include <string>

namespace tavrin::test {

// Moves the calling thread into a new network namespace, brings `lo` up and
// routes the limited broadcast address 255.255.255.255 out of `lo` with
// 127.0.0.1 as its source. Threads started afterwards by this thread are in
// the namespace too; threads that already exist are not, so call it first
// thing in main. Needs root (CAP_SYS_ADMIN). Returns what failed, or an
// empty string.
//
// Why the route: with only `lo` up, a datagram socket that is not bound
// has no route to 255.255.255.255 (ENETUNREACH); one bound to 127.0.0.1
// gets through, but a sender that does not bind needs a route. A host route
// for the broadcast address through `lo` is the narrowest that works; with
// its preferred source 127.0.0.1 the receiver sees the sender as
// 127.0.0.1:port and can answer it (without it the source reads 0.0.0.0).
std::string EnterPrivateNetwork();

// The names of the interfaces this thread's namespace holds, space-separated.
std::string NetworkInterfaces();

}  // namespace tavrin::test
