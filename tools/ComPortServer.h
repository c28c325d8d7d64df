// The bridge's --rfc2217 side: one serial port served to Telnet callers
// that control it with the Com Port Control option (44). Each caller has a
// Telnet reader and option states of its own; every caller's commands act
// on the one port, and only the caller that asked hears the answer.
//
// Everything runs on the host window's thread: the callers' data and the
// port's reports arrive there, and CCom's line operations belong there.
#pragma once

#include <tavrin/Tavrin.h>
#include <tavrin/net/ComPortOption.h>

#include <functional>
#include <map>
#include <string>

namespace tavrin::tool {

class ComPortServer {
public:
    struct Hooks {
        // Bytes for one caller, already in Telnet form; they go in order
        // with the port's data.
        std::function<void(int id, const std::string&)> send;
        // Holds (true) or releases the port's data to one caller.
        std::function<void(int id, bool)> hold;
        std::function<void(const std::string&)> notice;
    };

    ComPortServer(CCom& port, Hooks hooks);

    // A caller admitted: the options are offered to it.
    void Add(int id);
    void Remove(int id);
    // What a caller sent: its data goes to the port, its commands are
    // carried out and answered.
    void Received(int id, const BYTE* bytes, size_t count);
    // A DEVMSG_ERROR of the port: status lines and line errors become
    // notifications to the callers whose masks ask for them.
    void PortReport(DWORD code, const CString& text);

private:
    // RFC 1143's states, without the queue bit: an option is only ever
    // asked for once, when the caller is admitted.
    enum class Side { Off, Asked, On };
    struct Caller {
        rfc2217::TelnetReader reader;
        std::map<BYTE, Side> ours, theirs;   // our WILL, their WILL
        BYTE lineMask = 0;                   // the option's defaults
        BYTE modemMask = 0xFF;
        bool toldUnsupported[256] = {};
    };

    void Negotiate(int id, Caller& caller, BYTE verb, BYTE option);
    void Command(int id, Caller& caller, const std::string& payload);
    std::string SetBaudRate(const std::string& value);
    BYTE SetDataSize(BYTE value);
    BYTE SetParity(BYTE value);
    BYTE SetStopSize(BYTE value);
    BYTE SetControl(BYTE value);
    BYTE Purge(BYTE value);
    // Applies change to the port's DCB; the DCB in force after.
    DCB ChangeState(const std::function<void(DCB&)>& change);
    BYTE ModemStateNow(DWORD before);
    void Answer(int id, BYTE command, const std::string& value);

    CCom& m_port;
    Hooks m_hooks;
    std::map<int, Caller> m_callers;
    // The port's output lines as last asked for: a port without them (a
    // pseudo-terminal) cannot be read back.
    bool m_dtr = true, m_rts = true, m_break = false;
    DWORD m_modemStatus = 0;
};

}  // namespace tavrin::tool
