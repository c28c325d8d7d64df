#include "Commands.h"

#include <cstdio>

namespace tavrin::tool {

const char* const kDeviceHelp =
    "DEVICE:\n"
    "  loopback    what is written comes straight back\n"
    "  serial:PATH[:BAUD[,DATA,PARITY,STOP[,FLOW]]]\n"
    "              a serial port, e.g. serial:/dev/ttyUSB0:115200,8,N,1,rtscts or\n"
    "              serial:COM3; PARITY N/O/E/M/S, STOP 1/1.5/2, FLOW none or\n"
    "              rtscts, dtrdsr, xonxoff joined with '+' (term and bridge: no\n"
    "              FLOW means none; write e.g. :9600,8,N,1,xonxoff for Xon/Xoff)\n"
    "  serial:usb:VID:PID[:SERIAL][:BAUD[,...]]\n"
    "              the USB adapter `tavrin ports` shows with those ids (0403:6001),\n"
    "              found again at every open; a SERIAL made of digits needs the\n"
    "              settings or an empty field after it (usb:0403:6001:1234:)\n"
    "  tcp:HOST:PORT\n"
    "              a TCP connection to HOST (a name or a dotted IPv4 address)\n"
    "  listen:PORT a TCP server on every local address; each caller is taken by a\n"
    "              device of its own\n"
    "  udp-reply:PORT:TEXT\n"
    "              a UDP socket on PORT that answers every datagram with TEXT\n"
    "              (nothing when TEXT is empty); the datagrams are its data\n"
    "  broadcast:PORT:TEXT\n"
    "              broadcasts TEXT to port PORT once; the answers are its data\n"
    "PORT is 1 to 65535.\n";

void AddAllowOption(Command& command, std::vector<std::string>& texts)
{
    command.Add("--allow", texts,
                    "listen: admit only callers in ADDRESS/MASK (127.0.0.0/8, 10.0.0.0/255.0.0.0); "
                    "repeatable; default: every caller")
        .TypeName("ADDRESS/MASK")
        ;
}

bool ParseAllowRules(const std::vector<std::string>& texts, std::vector<AccessRule>& rules, std::string& error)
{
    for (const std::string& text : texts) {
        AccessRule rule;
        if (!ParseAccessRule(text, rule, error))
            return false;
        rules.push_back(rule);
    }
    return true;
}

void CommandError(const char* command, const std::string& text)
{
    std::fprintf(stderr, "tavrin %s: %s\n", command, text.c_str());
}

}  // namespace tavrin::tool
