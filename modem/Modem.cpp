#include "Modem.h"

#include <cstring>

const unsigned long CModem::s_baudTable[CModem::kBaudCount] = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000,
};

namespace {

// What a modem without settings of its own is opened with: 57600 baud,
// mark parity, 8 data bits, 2 stop bits, hardware handshaking.
constexpr char kDefaultMode[] = "57600,m,8,2,p";

void ExpandCarriageReturns(CString& text)
{
    text.Replace("<cr>", "\r");
}

}  // namespace

CModem::CModem()
    : CCom(1, 9600), m_nBaudIndex(-1)
{
}

CModem::CModem(CModem& src)
    : CCom(src),
      m_strINIT(src.m_strINIT),
      m_strRESET(src.m_strRESET),
      m_strDIALPULSE(src.m_strDIALPULSE),
      m_strDIALTONE(src.m_strDIALTONE),
      m_nBaudIndex(src.m_nBaudIndex)
{
}

CModem::~CModem() = default;

int CModem::Connect(CModemManager& manager, int step)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    manager.GetDCB(dcb);
    if (dcb.DCBlength == 0) {
        std::memset(&dcb, 0, sizeof(dcb));
        dcb.DCBlength = sizeof(DCB);
        BuildCommDCBA(kDefaultMode, &dcb);
    }

    // A rate the table does not hold counts as its highest.
    m_nBaudIndex = kBaudCount - 1;
    for (int i = 0; i < kBaudCount - 1; ++i) {
        if (s_baudTable[i] == dcb.BaudRate) {
            m_nBaudIndex = i;
            break;
        }
    }
    const int position = m_nBaudIndex - step;
    if (position < 0 || position >= kBaudCount)
        return 0;
    dcb.BaudRate = static_cast<DWORD>(s_baudTable[position]);

    const CString port = manager.GetComPort();
    if (!CCom::Connect(port, &dcb)) {
        // Also when the port never opened: the host hears of the
        // disconnection and gives its window again, as after any other.
        Disconnect();
        return 0;
    }

    m_strINIT = manager.GetINIT();
    m_strRESET = manager.GetRESET();
    m_strDIALTONE = manager.GetDIALTONE();
    m_strDIALPULSE = manager.GetDIALPULSE();
    ExpandCarriageReturns(m_strINIT);
    ExpandCarriageReturns(m_strRESET);
    ExpandCarriageReturns(m_strDIALTONE);
    ExpandCarriageReturns(m_strDIALPULSE);

    // Below its own rate the modem learns the new one from the next "AT".
    if (step != 0)
        Adaptation();
    return 1;
}

unsigned long CModem::GetBaudRate(int step)
{
    const int position = m_nBaudIndex - step;
    if (m_nBaudIndex < 0 || position < 0 || position >= kBaudCount)
        return 0;
    return s_baudTable[position];
}

int CModem::WriteText(const CString& text)
{
    if (text.IsEmpty())
        return 0;
    std::string bytes = text.str();
    Write(reinterpret_cast<BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    return 1;
}

int CModem::Init()
{
    WriteText(m_strINIT);
    return 1;
}

int CModem::Dial(CString& number, int tone)
{
    CString command = tone ? m_strDIALTONE : m_strDIALPULSE;
    command.Replace("<#>", number);
    return WriteText(command);
}

int CModem::Hangup()
{
    Disconnect();
    return 1;
}

int CModem::Reset()
{
    WriteText(m_strRESET);
    return 1;
}

int CModem::Adaptation()
{
    BYTE attention[] = {'A', 'T', '\r'};
    Write(attention, sizeof(attention));
    return 1;
}
