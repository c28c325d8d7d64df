#include "RemoteCom.h"

#include <chrono>

#include "../res/Resource.h"

using namespace tavrin::rfc2217;

namespace {

// How long a server may take to answer a request before the request fails.
constexpr auto kAnswerWait = std::chrono::seconds(3);
constexpr DWORD kBreakHold = 300;

bool Agreeable(BYTE option)
{
    return option == kOptionBinary || option == kOptionSuppressGoAhead || option == kOptionComPort;
}

struct StatusRow {
    DWORD on;
    UINT text;
};
// The order CCom reports them in: one line coming on per notification.
constexpr StatusRow kStatusLines[] = {
    {MS_RING_ON, IDS_COM_RING}, {MS_CTS_ON, IDS_COM_CTS}, {MS_DSR_ON, IDS_COM_DSR}, {MS_RLSD_ON, IDS_COM_RLSD}};

struct LineRow {
    DWORD flag;
    UINT text;
};
constexpr LineRow kLineErrors[] = {{CE_BREAK, IDS_COM_LINE_BREAK},
                                   {CE_FRAME, IDS_COM_LINE_FRAME},
                                   {CE_OVERRUN, IDS_COM_LINE_OVERRUN},
                                   {CE_RXPARITY, IDS_COM_LINE_RXPARITY}};

std::string Byte(BYTE value) { return std::string(1, static_cast<char>(value)); }

}  // namespace

CRemoteCom::CRemoteCom()
{
    m_dcb.DCBlength = sizeof(DCB);
    m_dcb.BaudRate = 9600;
    m_dcb.ByteSize = 8;
    m_dcb.Parity = NOPARITY;
    m_dcb.StopBits = ONESTOPBIT;
    m_dcb.fBinary = 1;
}

CRemoteCom::~CRemoteCom() = default;

BOOL CRemoteCom::Connect(CString strHost, UINT nPort, const DCB* pDcb)
{
    {
        std::lock_guard lock(m_mtx);
        m_reader.Reset();
        m_bOptionAgreed = m_bOptionRefused = false;
        for (int i = 0; i < 256; ++i)
            m_bWeDo[i] = m_bTheyDo[i] = false;
        for (unsigned& count : m_answerCount)
            count = 0;
        m_dwModemStatus = 0;
        // What this side asks for is counted as agreed: the peer's consent
        // then needs no answer, which is what keeps negotiation from looping.
        m_bWeDo[kOptionComPort] = m_bWeDo[kOptionBinary] = true;
        m_bTheyDo[kOptionBinary] = m_bTheyDo[kOptionSuppressGoAhead] = true;
    }
    if (!CLan::Connect(strHost, nPort))
        return FALSE;
    const std::string offer = Negotiation(kWill, kOptionComPort) + Negotiation(kWill, kOptionBinary) +
                              Negotiation(kDo, kOptionBinary) + Negotiation(kDo, kOptionSuppressGoAhead);
    DWORD error = 0;
    if (!CLan::Write(reinterpret_cast<BYTE*>(const_cast<char*>(offer.data())), static_cast<DWORD>(offer.size()))) {
        error = ERROR_CONNECTION_ABORTED;
    } else {
        std::unique_lock lock(m_mtx);
        if (!m_cvAnswer.wait_for(lock, kAnswerWait, [this] { return m_bOptionAgreed || m_bOptionRefused; }) ||
            m_bOptionRefused)
            error = ERROR_NOT_SUPPORTED;
    }
    if (error == 0) {
        // Line errors and every status line, reported as they happen.
        const std::string masks =
            ComPortCommand(kSetLineStateMask, Byte(kLineBreak | kLineFraming | kLineParity | kLineOverrun)) +
            ComPortCommand(kSetModemStateMask, Byte(0xFF));
        CLan::Write(reinterpret_cast<BYTE*>(const_cast<char*>(masks.data())), static_cast<DWORD>(masks.size()));
        DCB wanted = pDcb ? *pDcb : m_dcb;
        if (!SetState(wanted))
            error = GetLastError();
    }
    if (error != 0) {
        Disconnect();
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

void CRemoteCom::Disconnect()
{
    CLan::Disconnect();
    // A request still waiting ends now rather than at its time-out.
    std::lock_guard lock(m_mtx);
    m_bOptionRefused = true;
    m_cvAnswer.notify_all();
}

BOOL CRemoteCom::Ask(BYTE command, const std::string& value, std::string* answer)
{
    unsigned before;
    {
        std::lock_guard lock(m_mtx);
        before = m_answerCount[command];
    }
    const std::string request = ComPortCommand(command, value);
    if (!CLan::Write(reinterpret_cast<BYTE*>(const_cast<char*>(request.data())), static_cast<DWORD>(request.size()))) {
        SetLastError(ERROR_CONNECTION_ABORTED);
        return FALSE;
    }
    std::unique_lock lock(m_mtx);
    if (!m_cvAnswer.wait_for(lock, kAnswerWait, [&] { return m_answerCount[command] != before || !IsConnected(); }) ||
        m_answerCount[command] == before) {
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    if (answer)
        *answer = m_answers[command];
    return TRUE;
}

BOOL CRemoteCom::SetState(const DCB& dcb)
{
    if (!IsConnected()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::string rate, size, parity, stop, flow;
    const BYTE flowValue = dcb.fOutxCtsFlow ? kControlFlowHardware : dcb.fOutX ? kControlFlowXonXoff : kControlFlowNone;
    if (!Ask(kSetBaudRate, BaudValue(dcb.BaudRate), &rate) || !Ask(kSetDataSize, Byte(dcb.ByteSize), &size) ||
        !Ask(kSetParity, Byte(ParityValue(dcb.Parity)), &parity) ||
        !Ask(kSetStopSize, Byte(StopValue(dcb.StopBits)), &stop) || !Ask(kSetControl, Byte(flowValue), &flow))
        return FALSE;
    // What the server answered is what its port does now, asked for or not.
    DCB now = m_dcb;
    bool same = true;
    if (auto r = ParseBaud(rate)) {
        now.BaudRate = *r;
        same = same && *r == dcb.BaudRate;
    } else {
        same = false;
    }
    if (size.size() == 1) {
        now.ByteSize = static_cast<BYTE>(size[0]);
        same = same && now.ByteSize == dcb.ByteSize;
    } else {
        same = false;
    }
    auto p = parity.size() == 1 ? Win32Parity(static_cast<BYTE>(parity[0])) : std::nullopt;
    if (p)
        now.Parity = *p;
    same = same && p && *p == dcb.Parity;
    auto s = stop.size() == 1 ? Win32StopBits(static_cast<BYTE>(stop[0])) : std::nullopt;
    if (s)
        now.StopBits = *s;
    same = same && s && *s == dcb.StopBits;
    if (flow.size() == 1) {
        const BYTE f = static_cast<BYTE>(flow[0]);
        now.fOutxCtsFlow = f == kControlFlowHardware;
        now.fRtsControl = f == kControlFlowHardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        now.fOutX = now.fInX = f == kControlFlowXonXoff;
        same = same && f == flowValue;
    } else {
        same = false;
    }
    {
        std::lock_guard lock(m_mtx);
        m_dcb = now;
    }
    if (!same) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL CRemoteCom::GetState(DCB& dcb)
{
    std::lock_guard lock(m_mtx);
    dcb = m_dcb;
    return TRUE;
}

BOOL CRemoteCom::Purge(DWORD dwFlags)
{
    const BYTE which = ((dwFlags & PURGE_RXCLEAR) ? kPurgeReceive : 0) | ((dwFlags & PURGE_TXCLEAR) ? kPurgeTransmit : 0);
    if (which == 0)
        return TRUE;
    std::string answer;
    return Ask(kPurgeData, Byte(which), &answer);
}

BOOL CRemoteCom::SetControl(BYTE value)
{
    std::string answer;
    if (!Ask(kSetControl, Byte(value), &answer))
        return FALSE;
    // A server answers with the state the line is in: anything else means
    // the port could not do it.
    if (answer != Byte(value)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return TRUE;
}

BOOL CRemoteCom::SetDtr(BOOL bOn) { return SetControl(bOn ? kControlDtrOn : kControlDtrOff); }

BOOL CRemoteCom::SetRts(BOOL bOn) { return SetControl(bOn ? kControlRtsOn : kControlRtsOff); }

BOOL CRemoteCom::GetModemStatus(DWORD& dwModemStatus)
{
    std::lock_guard lock(m_mtx);
    dwModemStatus = m_dwModemStatus;
    return IsConnected();
}

void CRemoteCom::SendBreak()
{
    if (!Ask(kSetControl, Byte(kControlBreakOn), nullptr))
        return;
    Sleep(kBreakHold);
    Ask(kSetControl, Byte(kControlBreakOff), nullptr);
}

BOOL CRemoteCom::Write(BYTE* pData, DWORD dwLength)
{
    std::string escaped = Escape(pData, dwLength);
    return CLan::Write(reinterpret_cast<BYTE*>(escaped.data()), static_cast<DWORD>(escaped.size()));
}

BOOL CRemoteCom::Read(BYTE* pBuffer, DWORD& dwSize)
{
    if (!CLan::Read(pBuffer, dwSize))
        return FALSE;
    std::string data;
    std::vector<TelnetEvent> events;
    m_reader.Feed(pBuffer, dwSize, data, events);
    std::copy(data.begin(), data.end(), pBuffer);
    dwSize = static_cast<DWORD>(data.size());
    for (const TelnetEvent& event : events) {
        if (event.kind == TelnetEvent::Negotiation)
            OnNegotiation(event.verb, event.option);
        else if (event.kind == TelnetEvent::Subnegotiation && event.option == kOptionComPort)
            OnSubnegotiation(event.payload);
    }
    return TRUE;
}

void CRemoteCom::OnNegotiation(BYTE verb, BYTE option)
{
    std::string reply;
    {
        std::lock_guard lock(m_mtx);
        if (verb == kDo || verb == kDont) {
            const bool want = verb == kDo && Agreeable(option);
            if (want != m_bWeDo[option] || (verb == kDo && !want)) {
                // A refused DO is answered each time it is asked: WONT is
                // no change of state, so no loop can come of it.
                reply = Negotiation(want ? kWill : kWont, option);
                m_bWeDo[option] = want;
            }
            if (option == kOptionComPort) {
                m_bOptionAgreed = want;
                m_bOptionRefused = !want;
            }
        } else {
            const bool want = verb == kWill && Agreeable(option);
            if (want != m_bTheyDo[option] || (verb == kWill && !want)) {
                reply = Negotiation(want ? kDo : kDont, option);
                m_bTheyDo[option] = want;
            }
            // A server that offers the option (WILL) rather than answering
            // the client's WILL with DO has agreed to it too.
            if (option == kOptionComPort && want)
                m_bOptionAgreed = true;
        }
        m_cvAnswer.notify_all();
    }
    if (!reply.empty())
        QueueTelnetReply(reinterpret_cast<const BYTE*>(reply.data()), static_cast<DWORD>(reply.size()));
}

void CRemoteCom::OnSubnegotiation(const std::string& payload)
{
    if (payload.empty())
        return;
    const BYTE command = static_cast<BYTE>(payload[0]);
    const std::string value = payload.substr(1);
    if (command == kNotifyModemState + kServerOffset && value.size() == 1) {
        ReportModemState(static_cast<BYTE>(value[0]));
        return;
    }
    if (command == kNotifyLineState + kServerOffset && value.size() == 1) {
        ReportLineState(static_cast<BYTE>(value[0]));
        return;
    }
    if (command < kServerOffset || command - kServerOffset >= 16)
        return;
    std::lock_guard lock(m_mtx);
    m_answers[command - kServerOffset] = value;
    ++m_answerCount[command - kServerOffset];
    m_cvAnswer.notify_all();
}

void CRemoteCom::ReportModemState(BYTE state)
{
    const DWORD status = ModemStatus(state);
    DWORD before;
    {
        std::lock_guard lock(m_mtx);
        before = m_dwModemStatus;
        m_dwModemStatus = status;
    }
    const DWORD cameOn = status & ~before;
    for (const StatusRow& row : kStatusLines) {
        if (cameOn & row.on) {
            CString text;
            text.LoadString(row.text);
            ErrorDone(text, status);
            break;
        }
    }
    if (status != before) {
        CString text;
        text.LoadString(IDS_COM_CHANGE_STATUS);
        ErrorDone(text, (((status ^ before) & 0xFFFF) << 16) | (status & 0xFFFF));
    }
}

void CRemoteCom::ReportLineState(BYTE state)
{
    const DWORD errors = LineErrors(state);
    DWORD status;
    {
        std::lock_guard lock(m_mtx);
        status = m_dwModemStatus;
    }
    // Two errors at once match no single text, as on a local port.
    for (const LineRow& row : kLineErrors) {
        if (row.flag == errors) {
            CString text;
            text.LoadString(row.text);
            ErrorDone(text, status);
            return;
        }
    }
}

void CRemoteCom::GetName(CString& strName)
{
    DCB dcb;
    GetState(dcb);
    static const char* const kParity[] = {"none", "odd", "even", "mark", "space"};
    strName.Format("RFC2217 %s:%u:%lu-%u,%s,%s", static_cast<LPCSTR>(m_strHost), m_nPort,
                   static_cast<unsigned long>(dcb.BaudRate), static_cast<unsigned>(dcb.ByteSize),
                   dcb.StopBits == TWOSTOPBITS ? "2" : dcb.StopBits == ONE5STOPBITS ? "1.5" : "1",
                   dcb.Parity <= SPACEPARITY ? kParity[dcb.Parity] : "?");
}
