#include "ComPortOption.h"

namespace tavrin::rfc2217 {

void TelnetReader::Feed(const BYTE* raw, std::size_t size, std::string& data, std::vector<TelnetEvent>& events)
{
    for (std::size_t i = 0; i < size; ++i) {
        const BYTE b = raw[i];
        switch (m_state) {
        case Data:
            if (b == kIac)
                m_state = AfterIac;
            else
                data += static_cast<char>(b);
            break;
        case AfterIac:
            if (b == kIac) {
                data += static_cast<char>(b);
                m_state = Data;
            } else if (b >= kWill) {
                m_verb = b;
                m_state = Option;
            } else if (b == kSb) {
                m_sub.clear();
                m_overlong = false;
                m_state = InSub;
            } else {
                events.push_back({TelnetEvent::Command, b, 0, {}});
                m_state = Data;
            }
            break;
        case Option:
            events.push_back({TelnetEvent::Negotiation, m_verb, b, {}});
            m_state = Data;
            break;
        case InSub:
            if (b == kIac) {
                m_state = InSubIac;
            } else if (m_sub.size() < kMaxPayload + 1) {
                m_sub += static_cast<char>(b);
            } else {
                m_overlong = true;
            }
            break;
        case InSubIac:
            if (b == kIac) {
                if (m_sub.size() < kMaxPayload + 1)
                    m_sub += static_cast<char>(b);
                else
                    m_overlong = true;
                m_state = InSub;
            } else {
                // IAC SE ends it; any other command inside a
                // subnegotiation is a peer's mistake, and ends it too.
                if (!m_overlong && !m_sub.empty())
                    events.push_back({TelnetEvent::Subnegotiation, kSb, static_cast<BYTE>(m_sub[0]), m_sub.substr(1)});
                m_sub.clear();
                m_state = Data;
            }
            break;
        }
    }
}

std::string Escape(const BYTE* data, std::size_t size)
{
    std::string out;
    out.reserve(size + size / 64 + 4);
    for (std::size_t i = 0; i < size; ++i) {
        out += static_cast<char>(data[i]);
        if (data[i] == kIac)
            out += static_cast<char>(kIac);
    }
    return out;
}

std::string Negotiation(BYTE verb, BYTE option)
{
    return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string ComPortCommand(BYTE command, const std::string& value)
{
    std::string out{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(kOptionComPort),
                    static_cast<char>(command)};
    out += Escape(reinterpret_cast<const BYTE*>(value.data()), value.size());
    out += static_cast<char>(kIac);
    out += static_cast<char>(kSe);
    return out;
}

std::string BaudValue(DWORD rate)
{
    return {static_cast<char>(rate >> 24), static_cast<char>(rate >> 16), static_cast<char>(rate >> 8),
            static_cast<char>(rate)};
}

std::optional<DWORD> ParseBaud(const std::string& value)
{
    static constexpr DWORD kIndexed[] = {0,    50,   75,    110,   134,   150,   200,    300,    600,   1200,
                                         1800, 2400, 4800,  9600,  19200, 38400, 57600, 115200, 230400, 460800};
    if (value.size() == 4) {
        DWORD rate = 0;
        for (char c : value)
            rate = (rate << 8) | static_cast<BYTE>(c);
        return rate;
    }
    if (value.size() == 1) {
        const BYTE index = static_cast<BYTE>(value[0]);
        // Index 0 is the query, as the four-byte 0 is.
        if (index < sizeof kIndexed / sizeof kIndexed[0])
            return kIndexed[index];
    }
    return std::nullopt;
}

BYTE ParityValue(BYTE win32Parity) { return win32Parity <= SPACEPARITY ? static_cast<BYTE>(win32Parity + 1) : 0; }

std::optional<BYTE> Win32Parity(BYTE value)
{
    if (value >= 1 && value <= 5)
        return static_cast<BYTE>(value - 1);
    return std::nullopt;
}

BYTE StopValue(BYTE win32StopBits)
{
    switch (win32StopBits) {
    case ONESTOPBIT: return 1;
    case TWOSTOPBITS: return 2;
    case ONE5STOPBITS: return 3;
    default: return 0;
    }
}

std::optional<BYTE> Win32StopBits(BYTE value)
{
    switch (value) {
    case 1: return static_cast<BYTE>(ONESTOPBIT);
    case 2: return static_cast<BYTE>(TWOSTOPBITS);
    case 3: return static_cast<BYTE>(ONE5STOPBITS);
    default: return std::nullopt;
    }
}

DWORD ModemStatus(BYTE state)
{
    return ((state & kModemCts) ? MS_CTS_ON : 0) | ((state & kModemDsr) ? MS_DSR_ON : 0) |
           ((state & kModemRi) ? MS_RING_ON : 0) | ((state & kModemCd) ? MS_RLSD_ON : 0);
}

BYTE ModemState(DWORD status, DWORD before)
{
    const DWORD changed = status ^ before;
    BYTE state = ((status & MS_CTS_ON) ? kModemCts : 0) | ((status & MS_DSR_ON) ? kModemDsr : 0) |
                 ((status & MS_RING_ON) ? kModemRi : 0) | ((status & MS_RLSD_ON) ? kModemCd : 0);
    state |= ((changed & MS_CTS_ON) ? kModemDeltaCts : 0) | ((changed & MS_DSR_ON) ? kModemDeltaDsr : 0) |
             ((changed & MS_RLSD_ON) ? kModemDeltaCd : 0) |
             ((changed & MS_RING_ON) && !(status & MS_RING_ON) ? kModemTrailingRi : 0);
    return state;
}

DWORD LineErrors(BYTE state)
{
    return ((state & kLineBreak) ? CE_BREAK : 0) | ((state & kLineFraming) ? CE_FRAME : 0) |
           ((state & kLineParity) ? CE_RXPARITY : 0) | ((state & kLineOverrun) ? CE_OVERRUN : 0);
}

BYTE LineState(DWORD errors)
{
    return ((errors & CE_BREAK) ? kLineBreak : 0) | ((errors & CE_FRAME) ? kLineFraming : 0) |
           ((errors & CE_RXPARITY) ? kLineParity : 0) | ((errors & CE_OVERRUN) ? kLineOverrun : 0);
}

}  // namespace tavrin::rfc2217
