// CModem: a serial port with a Hayes modem behind it. Connect opens the port
// of the modem a CModemManager has selected, at the modem's own rate or a
// number of steps down the rate table, and takes the selected modem's
// command strings. Init, Dial and Reset write them and return at once: the
// modem's answers arrive as received data like any other.
#pragma once

#include "../serial/Com.h"
#include "ModemManager.h"

class TAVRIN_API CModem : public CCom {
public:
    // Port 1 at 9600 baud until Connect names the port and settings.
    CModem();
    CModem(CModem& src);
    ~CModem() override;

    // Opens the selected modem's port (the probe port while the manager
    // probes) with its registry settings, or 57600 baud, mark parity, 8 data
    // bits, 2 stop bits and hardware handshaking when it has none, at the
    // rate `step` entries below the modem's own. A step other than 0 then
    // writes "AT\r" so that the modem learns the rate. 1 on success; 0 when
    // the step leaves the table (nothing opened) or the port fails (the
    // device is disconnected and the host told so).
    int Connect(CModemManager& manager, int step);
    using CCom::Connect;
    // The rate Connect uses for `step`; 0 when that step leaves the table or
    // no Connect has found the modem's rate yet.
    unsigned long GetBaudRate(int step);
    int Init();
    // Writes the tone (tone != 0) or pulse template with `number` in place
    // of "<#>". 0, writing nothing, when the template is empty.
    int Dial(CString& number, int tone);
    int Hangup();
    int Reset();
    int Adaptation();

    // Rates of the steps, lowest first.
    static constexpr int kBaudCount = 15;
    static const unsigned long s_baudTable[kBaudCount];

protected:
    CString m_strINIT;
    CString m_strRESET;
    CString m_strDIALPULSE;
    CString m_strDIALTONE;
    int m_nBaudIndex;

private:
    int WriteText(const CString& text);
};
