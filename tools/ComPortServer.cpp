#include "ComPortServer.h"

#include <tavrin/res/Resource.h>

namespace tavrin::tool {

using namespace rfc2217;

namespace {

// The options a caller may have both ways; every other one is refused.
bool Agreeable(BYTE option)
{
    return option == kOptionBinary || option == kOptionSuppressGoAhead || option == kOptionComPort;
}

std::string Byte(BYTE value)
{
    return std::string(1, static_cast<char>(value));
}

// A line error's report text, to its NOTIFY-LINESTATE bit.
BYTE LineStateOf(const CString& text)
{
    static constexpr struct {
        UINT text;
        DWORD error;
    } kErrors[] = {{IDS_COM_LINE_BREAK, CE_BREAK},
                   {IDS_COM_LINE_FRAME, CE_FRAME},
                   {IDS_COM_LINE_RXPARITY, CE_RXPARITY},
                   {IDS_COM_LINE_OVERRUN, CE_OVERRUN}};
    for (const auto& row : kErrors) {
        CString known;
        known.LoadString(row.text);
        if (known.str() == text.str())
            return LineState(row.error);
    }
    return 0;
}

}  // namespace

ComPortServer::ComPortServer(CCom& port, Hooks hooks) : m_port(port), m_hooks(std::move(hooks)) {}

void ComPortServer::Add(int id)
{
    Caller& caller = m_callers[id];
    std::string offers;
    for (BYTE option : {kOptionComPort, kOptionBinary, kOptionSuppressGoAhead}) {
        caller.ours[option] = Side::Asked;
        offers += Negotiation(kWill, option);
    }
    // Their COM-PORT-OPTION is theirs to offer: a server needs only ours.
    for (BYTE option : {kOptionBinary, kOptionSuppressGoAhead}) {
        caller.theirs[option] = Side::Asked;
        offers += Negotiation(kDo, option);
    }
    m_hooks.send(id, offers);
}

void ComPortServer::Remove(int id)
{
    m_callers.erase(id);
}

void ComPortServer::Received(int id, const BYTE* bytes, size_t count)
{
    auto found = m_callers.find(id);
    if (found == m_callers.end())
        return;
    Caller& caller = found->second;
    std::string data;
    std::vector<TelnetEvent> events;
    caller.reader.Feed(bytes, count, data, events);
    // Data and commands keep no order between them within one block: a
    // client waits for each answer before it relies on a setting.
    if (!data.empty())
        m_port.Write(reinterpret_cast<BYTE*>(data.data()), static_cast<DWORD>(data.size()));
    for (const TelnetEvent& event : events) {
        switch (event.kind) {
        case TelnetEvent::Negotiation:
            Negotiate(id, caller, event.verb, event.option);
            break;
        case TelnetEvent::Subnegotiation:
            if (event.option == kOptionComPort && !event.payload.empty())
                Command(id, caller, event.payload);
            break;
        case TelnetEvent::Command:
            // The break a Telnet client sends: the port's own, 300 ms long.
            if (event.verb == kBreak)
                m_port.SendBreak();
            break;
        }
    }
}

// RFC 1143 without the queue: an answer is sent only when the state
// changes, so two ends that both answer every request cannot loop.
void ComPortServer::Negotiate(int id, Caller& caller, BYTE verb, BYTE option)
{
    const bool theirs = verb == kWill || verb == kWont;
    const bool yes = verb == kWill || verb == kDo;
    Side& side = (theirs ? caller.theirs : caller.ours)[option];
    const BYTE agree = theirs ? kDo : kWill;
    const BYTE refuse = theirs ? kDont : kWont;
    std::string answer;
    if (yes) {
        if (side == Side::Off && Agreeable(option)) {
            side = Side::On;
            answer = Negotiation(agree, option);
        } else if (side == Side::Off) {
            answer = Negotiation(refuse, option);
        } else {
            side = Side::On;   // the answer to our offer, or a repeat
        }
    } else if (side == Side::On) {
        side = Side::Off;
        answer = Negotiation(refuse, option);
    } else {
        side = Side::Off;      // a refusal of our offer, or a repeat
    }
    if (!answer.empty())
        m_hooks.send(id, answer);
}

void ComPortServer::Command(int id, Caller& caller, const std::string& payload)
{
    const BYTE command = static_cast<BYTE>(payload[0]);
    const std::string value = payload.substr(1);
    const BYTE first = value.empty() ? 0 : static_cast<BYTE>(value[0]);
    switch (command) {
    case kSignature:
        // An empty one asks for ours; a text is the client's own.
        if (value.empty())
            Answer(id, kSignature, "tavrin");
        else
            m_hooks.notice("caller " + std::to_string(id) + " is " + value);
        return;
    case kSetBaudRate: Answer(id, command, SetBaudRate(value)); return;
    case kSetDataSize: Answer(id, command, Byte(SetDataSize(first))); return;
    case kSetParity: Answer(id, command, Byte(SetParity(first))); return;
    case kSetStopSize: Answer(id, command, Byte(SetStopSize(first))); return;
    case kSetControl: Answer(id, command, Byte(SetControl(first))); return;
    case kPurgeData: Answer(id, command, Byte(Purge(first))); return;
    case kSetLineStateMask:
        caller.lineMask = first;
        Answer(id, command, Byte(first));
        return;
    case kSetModemStateMask:
        caller.modemMask = first;
        Answer(id, command, Byte(first));
        return;
    case kNotifyLineState:
        // A poll: no error is pending between reports.
        Answer(id, command, Byte(0));
        return;
    case kNotifyModemState:
        Answer(id, command, Byte(ModemStateNow(m_modemStatus) & caller.modemMask));
        return;
    case kFlowControlSuspend:
    case kFlowControlResume:
        m_hooks.hold(id, command == kFlowControlSuspend);
        return;
    default:
        break;
    }
    if (!caller.toldUnsupported[command]) {
        caller.toldUnsupported[command] = true;
        m_hooks.notice("caller " + std::to_string(id) + ": com port command " + std::to_string(command) +
                       " is not supported; ignored");
    }
}

void ComPortServer::Answer(int id, BYTE command, const std::string& value)
{
    m_hooks.send(id, ComPortCommand(static_cast<BYTE>(command + kServerOffset), value));
}

DCB ComPortServer::ChangeState(const std::function<void(DCB&)>& change)
{
    DCB dcb{};
    if (!m_port.GetState(dcb))
        return dcb;
    if (change) {
        DCB wanted = dcb;
        // SetState sets DTR and RTS from the DCB: a line a caller dropped
        // with SET-CONTROL stays down through a rate change.
        wanted.fDtrControl = m_dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        if (wanted.fRtsControl != RTS_CONTROL_HANDSHAKE)
            wanted.fRtsControl = m_rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        change(wanted);
        // Refused, the port keeps what it had, and the answer says so.
        if (m_port.SetState(wanted))
            m_port.GetState(dcb);
    }
    return dcb;
}

std::string ComPortServer::SetBaudRate(const std::string& value)
{
    const std::optional<DWORD> rate = ParseBaud(value);
    const DCB dcb = ChangeState(rate && *rate != 0 ? std::function<void(DCB&)>([&](DCB& d) { d.BaudRate = *rate; })
                                                   : nullptr);
    // A client that asks by index hears an index back, when the rate has one.
    if (value.size() == 1) {
        for (int index = 1; index < 256; ++index) {
            const std::optional<DWORD> known = ParseBaud(Byte(static_cast<BYTE>(index)));
            if (!known)
                break;
            if (*known == dcb.BaudRate)
                return Byte(static_cast<BYTE>(index));
        }
    }
    return BaudValue(dcb.BaudRate);
}

BYTE ComPortServer::SetDataSize(BYTE value)
{
    const bool set = value >= 5 && value <= 8;
    return ChangeState(set ? std::function<void(DCB&)>([&](DCB& d) { d.ByteSize = value; }) : nullptr).ByteSize;
}

BYTE ComPortServer::SetParity(BYTE value)
{
    const std::optional<BYTE> parity = Win32Parity(value);
    const DCB dcb = ChangeState(parity ? std::function<void(DCB&)>([&](DCB& d) {
        d.Parity = *parity;
        d.fParity = *parity != NOPARITY;
    })
                                       : nullptr);
    return ParityValue(dcb.Parity);
}

BYTE ComPortServer::SetStopSize(BYTE value)
{
    const std::optional<BYTE> stop = Win32StopBits(value);
    return StopValue(
        ChangeState(stop ? std::function<void(DCB&)>([&](DCB& d) { d.StopBits = *stop; }) : nullptr).StopBits);
}

BYTE ComPortServer::SetControl(BYTE value)
{
    const auto outboundFlow = [](const DCB& d) -> BYTE {
        if (d.fOutxCtsFlow)
            return kControlFlowHardware;
        return d.fOutX ? kControlFlowXonXoff : kControlFlowNone;
    };
    const auto inboundFlow = [](const DCB& d) -> BYTE {
        if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
            return kControlInboundHardware;
        return d.fInX ? kControlInboundXonXoff : kControlInboundNone;
    };
    // A line the port does not have (a pseudo-terminal's) takes the request
    // as asked: the client then carries on as it would on a port whose line
    // goes nowhere, rather than failing its open.
    const auto setLine = [this](BOOL (CCom::*set)(BOOL), bool& state, bool on, BYTE yes, BYTE no) -> BYTE {
        if ((m_port.*set)(on ? TRUE : FALSE) || GetLastError() == ERROR_NOT_SUPPORTED)
            state = on;
        return state ? yes : no;
    };
    switch (value) {
    case kControlFlowNone:
    case kControlFlowXonXoff:
    case kControlFlowHardware:
        // Both ways, as the option's outbound values mean.
        return outboundFlow(ChangeState([this, value](DCB& d) {
            d.fOutX = d.fInX = value == kControlFlowXonXoff;
            d.fOutxCtsFlow = value == kControlFlowHardware;
            if (value == kControlFlowHardware)
                d.fRtsControl = RTS_CONTROL_HANDSHAKE;
            else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
                d.fRtsControl = m_rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        }));
    case kControlInboundNone:
    case kControlInboundXonXoff:
    case kControlInboundHardware:
        return inboundFlow(ChangeState([this, value](DCB& d) {
            d.fInX = value == kControlInboundXonXoff;
            if (value == kControlInboundHardware)
                d.fRtsControl = RTS_CONTROL_HANDSHAKE;
            else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
                d.fRtsControl = m_rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        }));
    case kControlInboundQuery: return inboundFlow(ChangeState(nullptr));
    case kControlBreakOn:
    case kControlBreakOff:
        if (m_port.SetBreak(value == kControlBreakOn ? TRUE : FALSE))
            m_break = value == kControlBreakOn;
        return m_break ? kControlBreakOn : kControlBreakOff;
    case kControlBreakQuery: return m_break ? kControlBreakOn : kControlBreakOff;
    case kControlDtrOn:
    case kControlDtrOff: return setLine(&CCom::SetDtr, m_dtr, value == kControlDtrOn, kControlDtrOn, kControlDtrOff);
    case kControlDtrQuery: return m_dtr ? kControlDtrOn : kControlDtrOff;
    case kControlRtsOn:
    case kControlRtsOff: return setLine(&CCom::SetRts, m_rts, value == kControlRtsOn, kControlRtsOn, kControlRtsOff);
    case kControlRtsQuery: return m_rts ? kControlRtsOn : kControlRtsOff;
    default:
        // The query, and the flow controls on DCD, DTR and DSR, which a
        // port here does not offer: the flow control in force.
        return outboundFlow(ChangeState(nullptr));
    }
}

BYTE ComPortServer::Purge(BYTE value)
{
    const DWORD flags = (value & kPurgeReceive ? PURGE_RXCLEAR : 0) | (value & kPurgeTransmit ? PURGE_TXCLEAR : 0);
    if (flags != 0)
        m_port.Purge(flags);
    return value;
}

BYTE ComPortServer::ModemStateNow(DWORD before)
{
    DWORD status = m_modemStatus;
    if (m_port.GetModemStatus(status))
        m_modemStatus = status;
    return ModemState(m_modemStatus, before);
}

void ComPortServer::PortReport(DWORD code, const CString& text)
{
    CString changeText;
    changeText.LoadString(IDS_COM_CHANGE_STATUS);
    if (text.str() == changeText.str()) {
        const DWORD status = code & 0xFFFF;
        const DWORD changed = code >> 16;
        m_modemStatus = status;
        const BYTE state = ModemState(status, status ^ changed);
        for (auto& [id, caller] : m_callers) {
            // Only a change among the lines the caller watches is news to it.
            if (state & caller.modemMask & 0x0F)
                Answer(id, kNotifyModemState, Byte(state & caller.modemMask));
        }
        return;
    }
    const BYTE line = LineStateOf(text);
    if (line == 0)
        return;
    for (auto& [id, caller] : m_callers) {
        if (line & caller.lineMask)
            Answer(id, kNotifyLineState, Byte(line & caller.lineMask));
    }
}

}  // namespace tavrin::tool
