// CRemoteCom: a serial port on another machine, reached over TCP through a
// server that speaks Telnet Com Port Control (RFC 2217: ser2net, terminal
// servers, tavrin bridge --rfc2217). To a host it is a CCom: line settings
// at connect and later, breaks, purges, DTR and RTS, and DEVMSG_ERROR texts
// for status-line changes and line errors, here from the server's
// NOTIFY-MODEMSTATE and NOTIFY-LINESTATE. Data is Telnet-escaped both ways,
// so every byte value passes.
#pragma once

#include <condition_variable>
#include <mutex>

#include "ComPortOption.h"
#include "Lan.h"

class TAVRIN_API CRemoteCom : public CLan {
public:
    // 9600 baud, 8 data bits, no parity, one stop bit, no flow control.
    CRemoteCom();
    ~CRemoteCom() override;

    // Connects to the server, asks for the Com Port Control option (first:
    // some servers wait for the client) and applies pDcb (or the stored
    // settings). FALSE, with the socket closed, when the connect fails,
    // when the server refuses the option or does not answer it within 3 s
    // (ERROR_NOT_SUPPORTED), or when it does not take the settings
    // (ERROR_INVALID_PARAMETER). Host threads.
    BOOL Connect(CString strHost, UINT nPort, const DCB* pDcb);
    using CLan::Connect;
    void Disconnect() override;

    // Sends the rate, data bits, parity, stop bits and flow control, and
    // waits (3 s each) for the server's answers, which carry what the port
    // took: FALSE with ERROR_INVALID_PARAMETER when one differs (the
    // answers are kept: GetState tells what is in force), ERROR_TIMEOUT when
    // one does not come. Host threads, while connected.
    BOOL SetState(const DCB& dcb);
    // The settings as the server last answered them.
    BOOL GetState(DCB& dcb);
    // Asks the server to purge its port's buffers (PURGE_RXCLEAR,
    // PURGE_TXCLEAR) and waits for its acknowledgement.
    BOOL Purge(DWORD dwFlags);
    // DTR and RTS on the far port, confirmed by the server.
    BOOL SetDtr(BOOL bOn);
    BOOL SetRts(BOOL bOn);
    // The status lines as the server last reported them (MS_CTS_ON ...).
    BOOL GetModemStatus(DWORD& dwModemStatus);
    // A break of 300 ms on the far line, as CCom's. Host threads.
    void SendBreak() override;
    // Escapes and sends; FALSE as CLan's.
    BOOL Write(BYTE* pData, DWORD dwLength) override;
    // Takes the Telnet commands out of what arrived and answers them.
    BOOL Read(BYTE* pBuffer, DWORD& dwSize) override;
    // "RFC2217 <host>:<port>:<baud>-<bits>,<stop>,<parity>".
    void GetName(CString& strName) override;

private:
    // One answer awaited from the server: the command it answers (+100).
    BOOL Ask(BYTE command, const std::string& value, std::string* answer);
    // A SET-CONTROL line request, confirmed by the server's answer.
    BOOL SetControl(BYTE value);
    void OnNegotiation(BYTE verb, BYTE option);
    void OnSubnegotiation(const std::string& payload);
    void ReportModemState(BYTE state);
    void ReportLineState(BYTE state);

    tavrin::rfc2217::TelnetReader m_reader;
    std::mutex m_mtx;
    std::condition_variable m_cvAnswer;
    // Answers by command number (server's number - 100); the newest wins.
    std::string m_answers[16];
    unsigned m_answerCount[16] = {};
    bool m_bOptionAgreed = false;
    bool m_bOptionRefused = false;
    // Options this side has agreed to: for us (WILL) and for the peer (DO),
    // so that each is answered once per change.
    bool m_bWeDo[256] = {};
    bool m_bTheyDo[256] = {};
    DCB m_dcb{};
    DWORD m_dwModemStatus = 0;
};
