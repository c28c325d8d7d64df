// The Telnet refusal against real Telnet servers (inetutils-telnetd and
// busybox telnetd, each with /bin/cat for a shell): a relay between the
// device and the server records both directions, so the test sees every
// option the server asked for and every answer the device gave, and
// compares what reached the host with the server's bytes less its commands.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/TcpRelay.h"
#include "support/TelnetPeer.h"
#include "support/Timing.h"
#include "support/WindowThread.h"

using namespace tavrin::test;
using namespace std::chrono_literals;

namespace {

constexpr unsigned char kIac = 0xFF;
constexpr unsigned char kWill = 0xFB;
constexpr unsigned char kWont = 0xFC;
constexpr unsigned char kDo = 0xFD;
constexpr unsigned char kDont = 0xFE;
constexpr unsigned char kSe = 0xF0;

// The servers start their shells on a pseudo-terminal and negotiate first:
// more than the device's other tests wait for.
constexpr std::chrono::milliseconds kServerWait{15000};

struct Negotiation {
    unsigned char command;
    unsigned char option;
};

// A Telnet byte stream read as RFC 854 has it, independently of the
// device's filter: its negotiations, and the data that is left.
struct TelnetStream {
    std::vector<Negotiation> negotiations;
    std::string data;
    // Options in the order they appear with this command.
    std::vector<unsigned char> Options(unsigned char command) const
    {
        std::vector<unsigned char> options;
        for (const Negotiation& n : negotiations)
            if (n.command == command)
                options.push_back(n.option);
        return options;
    }
};

TelnetStream ReadTelnet(const std::string& bytes)
{
    TelnetStream stream;
    for (size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte != kIac || i + 1 >= bytes.size()) {
            stream.data += bytes[i++];
            continue;
        }
        const auto command = static_cast<unsigned char>(bytes[i + 1]);
        if (command == kIac) {
            stream.data += bytes[i];
            i += 2;
        } else if (command >= kWill && command <= kDont && i + 2 < bytes.size()) {
            stream.negotiations.push_back({command, static_cast<unsigned char>(bytes[i + 2])});
            i += 3;
        } else if (command >= kSe && command < kWill) {
            i += 2;
        } else {
            stream.data += bytes[i++];
        }
    }
    return stream;
}

// IAC followed by WILL, WONT, DO or DONT anywhere in the bytes.
bool HoldsNegotiation(const std::string& bytes)
{
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        const auto command = static_cast<unsigned char>(bytes[i + 1]);
        if (static_cast<unsigned char>(bytes[i]) == kIac && command >= kWill && command <= kDont)
            return true;
    }
    return false;
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            text += "<";
            text += digits[byte >> 4];
            text += digits[byte & 15];
            text += ">";
        }
    }
    return text;
}

// Every DO the server sent so far has been answered by a WONT.
// Each DO answered with a WONT and each WILL with a DONT (so far).
bool EveryDoAnswered(const RelayTranscript& t)
{
    const TelnetStream server = ReadTelnet(t.fromServer);
    const TelnetStream caller = ReadTelnet(t.fromCaller);
    return server.Options(kDo).size() <= caller.Options(kWont).size() &&
           server.Options(kWill).size() <= caller.Options(kDont).size();
}

bool Write(CLan& lan, const std::string& bytes)
{
    std::string copy = bytes;
    return lan.Write(reinterpret_cast<BYTE*>(copy.data()), static_cast<DWORD>(copy.size())) == TRUE;
}

struct TelnetCase {
    TelnetKind kind;
    // The device refuses what it is asked to do (DO) and declines the
    // server's offers (WILL). inetutils-telnetd holds back all that follows
    // its opening until its WILL AUTHENTICATION and WILL ENCRYPT are
    // answered; busybox waits for nothing.
    bool waitsForAnswersToOffers;
};

void PrintTo(const TelnetCase& item, std::ostream* out)
{
    *out << TelnetKindName(item.kind);
}

std::string CaseName(const testing::TestParamInfo<TelnetCase>& info)
{
    return TelnetKindName(info.param.kind);
}

class NetTelnet : public testing::TestWithParam<TelnetCase> {
protected:
    void SetUp() override
    {
        m_server = std::make_unique<TelnetServer>(GetParam().kind);
        if (!m_server->Available())
            GTEST_SKIP() << m_server->Error();
        ASSERT_TRUE(m_server->Ready()) << m_server->Error();
        m_relay = std::make_unique<RecordingRelay>(m_server->Port());
        ASSERT_TRUE(m_relay->Ready()) << m_relay->Error();
    }
    void TearDown() override
    {
        // The server and its shell end with the connection.
        Within(10s, [&] { m_lan.Disconnect(); }, "Disconnect");
        m_relay.reset();
        m_server.reset();
    }
    bool Open()
    {
        m_window.Attach(m_lan);
        if (!m_lan.Connect("127.0.0.1", m_relay->Port())) {
            ADD_FAILURE() << "Connect failed, last error " << WSAGetLastError();
            return false;
        }
        return m_window.WaitForIndex(DEVMSG_CONNECTED, 1);
    }
    std::string Trace() const
    {
        const RelayTranscript t = m_relay->Transcript();
        return "\nserver sent: " + Hex(t.fromServer) + "\ndevice sent: " + Hex(t.fromCaller) +
               "\nhost got:    " + Hex(m_window.DataBytes()) + "\nsocat: " + m_server->Output();
    }

    std::unique_ptr<TelnetServer> m_server;
    std::unique_ptr<RecordingRelay> m_relay;
    WindowThread m_window;
    CLan m_lan;
};

TEST_P(NetTelnet, RefusesEveryDoAndWillAndHandsTheHostOnlyTheServersText)
{
    m_lan.SetRefuseTelnetOptions(TRUE);
    ASSERT_TRUE(Open());

    // The server opens with requests, and the device answers each.
    ASSERT_TRUE(m_relay->WaitUntil(
        [](const RelayTranscript& t) {
            return !ReadTelnet(t.fromServer).Options(kDo).empty() && EveryDoAnswered(t);
        },
        kServerWait))
        << Trace();

    if (GetParam().waitsForAnswersToOffers)
        ASSERT_FALSE(ReadTelnet(m_relay->Transcript().fromServer).Options(kWill).empty()) << Trace();

    // Then the server's own text (its banner) comes.
    ASSERT_TRUE(m_relay->WaitUntil([](const RelayTranscript& t) { return !ReadTelnet(t.fromServer).data.empty(); },
                                   kServerWait))
        << Trace();

    // What is typed goes to cat on the server's terminal and comes back:
    // cat writes it (and a server whose terminal still echoes sends it once
    // more before).
    const std::string typed = "tavrin types 0123456789\r\n";
    ASSERT_TRUE(Write(m_lan, typed));
    ASSERT_TRUE(m_relay->WaitUntil(
        [](const RelayTranscript& t) {
            const std::string data = ReadTelnet(t.fromServer).data;
            return data.find("tavrin types 0123456789") != std::string::npos && EveryDoAnswered(t);
        },
        kServerWait))
        << Trace();

    // The host got exactly the server's bytes less its commands. The
    // server may still be sending (a second echo): what the host has is
    // then the start of what the relay saw after it.
    const TelnetStream sentBefore = ReadTelnet(m_relay->Transcript().fromServer);
    ASSERT_TRUE(m_window.WaitForData(sentBefore.data.size(), kServerWait)) << Trace();
    const std::string atHost = m_window.DataBytes();
    ASSERT_TRUE(m_relay->WaitUntil(EveryDoAnswered, kServerWait)) << Trace();
    const RelayTranscript t = m_relay->Transcript();
    const TelnetStream server = ReadTelnet(t.fromServer);
    EXPECT_EQ(atHost.substr(0, sentBefore.data.size()), sentBefore.data) << Trace();
    EXPECT_EQ(server.data.substr(0, atHost.size()), atHost) << Trace();
    EXPECT_NE(atHost.find("tavrin types 0123456789"), std::string::npos) << Trace();
    EXPECT_FALSE(HoldsNegotiation(atHost)) << Trace();

    // The device said WONT to each DO and DONT to each WILL, in the
    // server's order, and nothing else of its own: the rest is what the
    // host wrote.
    const TelnetStream device = ReadTelnet(t.fromCaller);
    EXPECT_EQ(device.Options(kWont), server.Options(kDo)) << Trace();
    EXPECT_EQ(device.Options(kDont), server.Options(kWill)) << Trace();
    EXPECT_TRUE(device.Options(kWill).empty()) << Trace();
    EXPECT_TRUE(device.Options(kDo).empty()) << Trace();
    EXPECT_EQ(device.data, typed) << Trace();
}

TEST_P(NetTelnet, WithoutTheRefusalTheHostGetsTheNegotiationAsItCame)
{
    ASSERT_FALSE(m_lan.IsRefusingTelnetOptions());
    ASSERT_TRUE(Open());

    // The server's opening, requests included, reaches the host as it
    // came. Up to its first SOH, that is: outside packet mode the receive
    // engine drops an SOH and the rest of its block up to a CAN or EM, and
    // busybox's DO ECHO (FF FD 01) holds one. inetutils-telnetd's opening
    // has none and arrives whole.
    ASSERT_TRUE(m_relay->WaitUntil(
        [](const RelayTranscript& t) { return !ReadTelnet(t.fromServer).Options(kDo).empty(); }, kServerWait))
        << Trace();
    const std::string opening = m_relay->Transcript().fromServer;
    const std::string plain = opening.substr(0, opening.find('\x01'));
    ASSERT_TRUE(HoldsNegotiation(plain)) << Trace();
    ASSERT_TRUE(m_window.WaitForData(plain.size(), kServerWait)) << Trace();
    const std::string atHost = m_window.DataBytes();
    EXPECT_EQ(atHost.substr(0, plain.size()), plain) << Trace();
    if (GetParam().kind == TelnetKind::Inetutils)
        EXPECT_EQ(plain, opening) << Trace();

    // Nothing was answered: anything the device had sent would be in the
    // stream ahead of this mark.
    const std::string mark = "!";
    ASSERT_TRUE(Write(m_lan, mark));
    ASSERT_TRUE(m_relay->WaitUntil([&](const RelayTranscript& t) { return t.fromCaller.find(mark) != std::string::npos; }))
        << Trace();
    EXPECT_EQ(m_relay->Transcript().fromCaller, mark) << Trace();
}

INSTANTIATE_TEST_SUITE_P(Servers, NetTelnet,
                         testing::Values(TelnetCase{TelnetKind::Inetutils, true},
                                         TelnetCase{TelnetKind::Busybox, false}),
                         CaseName);

}  // namespace
