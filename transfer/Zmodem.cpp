// ZMODEM: headers (hex, binary with CRC-16 or CRC-32), data subpackets
// with ZDLE escaping, the streaming sender with its reverse channel, and the
// receiver that resumes partial files and recovers from damaged data with
// ZRPOS.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Crc.h"
#include "Session.h"

namespace tavrin::transfer {
namespace {

constexpr BYTE ZPAD = '*';
constexpr BYTE ZDLE = 0x18;  // also CAN: five in a row abort
constexpr BYTE ZBIN = 'A';
constexpr BYTE ZHEX = 'B';
constexpr BYTE ZBIN32 = 'C';
constexpr BYTE XON = 0x11;
constexpr BYTE XOFF = 0x13;

enum FrameType : int {
    ZRQINIT = 0,
    ZRINIT = 1,
    ZSINIT = 2,
    ZACK = 3,
    ZFILE = 4,
    ZSKIP = 5,
    ZNAK = 6,
    ZABORT = 7,
    ZFIN = 8,
    ZRPOS = 9,
    ZDATA = 10,
    ZEOF = 11,
    ZFERR = 12,
    ZCRC = 13,
    ZCHALLENGE = 14,
    ZCOMPL = 15,
    ZCAN = 16,
    ZFREECNT = 17,
    ZCOMMAND = 18,
};

// How a data subpacket ends: what the sender expects of the receiver.
constexpr BYTE ZCRCE = 'h';  // end of frame, header follows
constexpr BYTE ZCRCG = 'i';  // more data follows, no answer
constexpr BYTE ZCRCQ = 'j';  // more data follows, ZACK expected
constexpr BYTE ZCRCW = 'k';  // end of frame, ZACK expected
constexpr BYTE ZRUB0 = 'l';  // 0x7F
constexpr BYTE ZRUB1 = 'm';  // 0xFF

// ZRINIT's capabilities (ZF0).
constexpr BYTE CANFDX = 0x01;
constexpr BYTE CANOVIO = 0x02;
constexpr BYTE CANFC32 = 0x20;
constexpr BYTE ESCCTL = 0x40;
// ZSINIT's ZF0: the sender wants control characters escaped.
constexpr BYTE TESCCTL = 0x40;
// ZFILE's ZF0.
constexpr BYTE ZCBIN = 1;

// Results of the readers below that are not a byte.
constexpr int kTimeout = -1;
constexpr int kPeerCancelled = -2;  // five CANs
constexpr int kBadFrame = -3;       // a bad escape or check value
constexpr int kFrameEnd = 0x100;    // | the ZCRCx byte

constexpr std::size_t kBlock = 1024;
constexpr std::size_t kMaxSubpacket = 8192;  // `sz --8k`
constexpr std::size_t kCoalesce = 16 * 1024;
// A streaming sender runs at most a window ahead of the last ZACK, and asks
// for one (ZCRCQ) every quarter window. After a ZRPOS everything in flight
// reaches the receiver as garbage, and lrzsz's rz gives up after twenty
// rounds of it: the window falls to its least on a rewind and doubles with
// every clean acknowledgement. Its most covers the 40 ms that a delayed
// TCP acknowledgement can hold a ZCRCQ back on a fast link.
constexpr unsigned long long kMinWindow = 8 * 1024;
constexpr unsigned long long kMaxWindow = 512 * 1024;

constexpr DWORD kAnswerMs = 5000;    // for a header that answers ours
constexpr DWORD kByteMs = 3000;      // between the bytes of a header or subpacket
constexpr int kMaxTimeouts = 6;      // answers in a row that did not come
constexpr int kMaxErrors = 30;       // damaged frames in a row

struct Header {
    int type = 0;
    // ZP0..ZP3: a position (ZP0 lowest) or the flags, ZF0 being ZP3.
    std::array<BYTE, 4> p{};
    bool crc32 = false;

    unsigned long long Position() const
    {
        return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<unsigned long long>(p[3]) << 24);
    }
    BYTE F0() const { return p[3]; }
};

Header At(int type, unsigned long long position)
{
    Header h;
    h.type = type;
    for (int i = 0; i < 4; ++i)
        h.p[i] = static_cast<BYTE>(position >> (8 * i));
    return h;
}

Header Flags(int type, BYTE f0, BYTE f1 = 0)
{
    Header h;
    h.type = type;
    h.p[3] = f0;
    h.p[2] = f1;
    return h;
}

std::string Quoted(const std::string& name) { return "'" + name + "'"; }

// The protocol's bytes on the link: reading through a buffer of our own
// (the link hands over what is queued at once), escaping, headers and
// subpackets.
class Wire {
public:
    explicit Wire(Link& link) : m_link(link) {}

    Link& GetLink() const { return m_link; }
    // Whether control characters are escaped (and ignored when they arrive
    // raw), as the other side asked.
    void EscapeControls(bool on) { m_escapeControls = on; }
    // Streamed subpackets are held back until this many bytes wait.
    void Coalesce(std::size_t bytes) { m_coalesce = bytes; }

    int Raw(DWORD timeoutMs)
    {
        if (m_at == m_end) {
            m_at = 0;
            m_end = m_link.Read(m_buffer, sizeof m_buffer, timeoutMs);
            if (m_end == 0)
                return kTimeout;
        }
        return m_buffer[m_at++];
    }

    void Unread() { --m_at; }

    // A byte of a binary header or subpacket, kFrameEnd | ZCRCx, or one of
    // the negative results.
    // count escaped bytes that must not end a frame: 0, or ZdlRead's
    // failure, or kBadFrame.
    int ReadEscaped(BYTE* out, int count)
    {
        for (int i = 0; i < count; ++i) {
            const int c = ZdlRead(kByteMs);
            if (c < 0)
                return c;
            if (c & kFrameEnd)
                return kBadFrame;
            out[i] = static_cast<BYTE>(c);
        }
        return 0;
    }

    static std::uint32_t LittleEndian32(const BYTE* b)
    {
        return b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t(b[3]) << 24);
    }

    int ZdlRead(DWORD timeoutMs)
    {
        for (;;) {
            int c = Raw(timeoutMs);
            if (c < 0)
                return c;
            if (c == ZDLE)
                return Escaped(timeoutMs);
            // Flow control bytes that a modem or terminal server let through
            // are never data: the sender escapes them.
            if ((c & 0x7F) == XON || (c & 0x7F) == XOFF)
                continue;
            if (m_escapeControls && (c & 0x60) == 0)
                continue;
            return c;
        }
    }

    // The next header, hunting through whatever else arrives (the rest of
    // a stream we asked to stop, line noise) until timeoutMs has passed.
    int ReadHeader(Header& h, DWORD timeoutMs)
    {
        Flush();
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int cans = 0;
        for (;;) {
            if (m_link.Cancelled())
                return kTimeout;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return kTimeout;
            const int c = Raw(static_cast<DWORD>(left));
            if (c < 0)
                return c;
            if (c == ZDLE) {
                if (++cans >= 5)
                    return kPeerCancelled;
                continue;
            }
            cans = 0;
            if ((c & 0x7F) != ZPAD)
                continue;
            const int type = AfterPad(h);
            if (type == kPeerCancelled || type >= 0)
                return type;
        }
    }

    // A header that is already arriving, without waiting for one.
    int PollHeader(Header& h)
    {
        for (int c; (c = Raw(0)) >= 0;) {
            if ((c & 0x7F) == ZPAD) {
                const int type = AfterPad(h);
                if (type >= 0 || type == kPeerCancelled)
                    return type;
            } else if (c == ZDLE) {
                if (++m_pollCans >= 5)
                    return kPeerCancelled;
                continue;
            }
            m_pollCans = 0;
        }
        return kTimeout;
    }

    // A data subpacket: its bytes and how it ended; false when it timed
    // out, was damaged or longer than any sender makes them.
    int ReadSubpacket(std::vector<BYTE>& data, bool crc32, BYTE& end)
    {
        data.clear();
        for (;;) {
            const int c = ZdlRead(kByteMs);
            if (c < 0)
                return c;
            if (c & kFrameEnd) {
                end = static_cast<BYTE>(c & 0xFF);
                break;
            }
            if (data.size() >= kMaxSubpacket)
                return kBadFrame;
            data.push_back(static_cast<BYTE>(c));
        }
        BYTE check[4];
        if (const int failed = ReadEscaped(check, crc32 ? 4 : 2))
            return failed;
        if (crc32) {
            if (Crc32(&end, 1, Crc32(data.data(), data.size())) != LittleEndian32(check))
                return kBadFrame;
        } else {
            const std::uint16_t crc = Crc16(&end, 1, Crc16(data.data(), data.size()));
            if (crc != ((check[0] << 8) | check[1]))
                return kBadFrame;
        }
        return 0;
    }

    bool SendHex(const Header& h)
    {
        BYTE bytes[7] = {static_cast<BYTE>(h.type), h.p[0], h.p[1], h.p[2], h.p[3]};
        const std::uint16_t crc = Crc16(bytes, 5);
        bytes[5] = static_cast<BYTE>(crc >> 8);
        bytes[6] = static_cast<BYTE>(crc);
        static const char kHex[] = "0123456789abcdef";
        std::string out = {ZPAD, ZPAD, static_cast<char>(ZDLE), ZHEX};
        for (BYTE b : bytes) {
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
        // CR, LF with the parity bit (so a terminal does not add a CR of
        // its own), and an XON in case the other side was stopped; not
        // after the last headers, whose far side may already be a shell.
        out += "\r";
        out += static_cast<char>(0x8A);
        if (h.type != ZFIN && h.type != ZACK)
            out += static_cast<char>(XON);
        m_unsent += out;
        return Flush();
    }

    bool SendBinary(const Header& h, bool crc32)
    {
        std::string out = {ZPAD, static_cast<char>(ZDLE), static_cast<char>(crc32 ? ZBIN32 : ZBIN)};
        const BYTE bytes[5] = {static_cast<BYTE>(h.type), h.p[0], h.p[1], h.p[2], h.p[3]};
        for (BYTE b : bytes)
            Escape(out, b);
        AppendCheck(out, bytes, 5, nullptr, crc32);
        m_unsent += out;
        return Flush();
    }

    bool SendSubpacket(const BYTE* data, std::size_t size, BYTE end, bool crc32)
    {
        std::string out;
        out.reserve(size + size / 16 + 16);
        for (std::size_t i = 0; i < size; ++i)
            Escape(out, data[i]);
        out += static_cast<char>(ZDLE);
        out += static_cast<char>(end);
        AppendCheck(out, data, size, &end, crc32);
        if (end == ZCRCW)
            out += static_cast<char>(XON);
        // Streamed subpackets go out together: one write per kilobyte costs
        // more than the line does on a fast link.
        m_unsent += out;
        if (end == ZCRCG && m_unsent.size() < m_coalesce)
            return true;
        return Flush();
    }

    bool Flush()
    {
        if (m_unsent.empty())
            return true;
        const bool written = m_link.Write(m_unsent);
        m_unsent.clear();
        return written;
    }

    // Eight CANs end the transfer on any ZMODEM or XMODEM peer; the
    // backspaces erase them from a terminal that shows them. Sent even
    // after a cancel, which is when it matters most.
    void SendAbort()
    {
        static const BYTE kAbort[] = {0x18, 0x18, 0x18, 0x18, 0x18, 0x18, 0x18, 0x18,
                                      0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08};
        m_link.WriteUrgent(kAbort, sizeof kAbort);
    }

private:
    int Escaped(DWORD timeoutMs)
    {
        int cans = 1;
        for (;;) {
            const int c = Raw(timeoutMs);
            if (c < 0)
                return c;
            if (c == ZDLE) {
                if (++cans >= 5)
                    return kPeerCancelled;
                continue;
            }
            if (cans > 1)
                return kBadFrame;
            switch (c) {
            case ZCRCE:
            case ZCRCG:
            case ZCRCQ:
            case ZCRCW:
                return kFrameEnd | c;
            case ZRUB0:
                return 0x7F;
            case ZRUB1:
                return 0xFF;
            default:
                break;
            }
            if ((c & 0x7F) == XON || (c & 0x7F) == XOFF)
                continue;
            if ((c & 0x60) == 0x40)
                return c ^ 0x40;
            return kBadFrame;
        }
    }

    // Called after a ZPAD: the rest of the header, kBadFrame when it is
    // none or damaged.
    int AfterPad(Header& h)
    {
        int c;
        do
            c = Raw(kByteMs);
        while (c >= 0 && (c & 0x7F) == ZPAD);
        if (c != ZDLE)
            return c < 0 ? c : kBadFrame;
        c = Raw(kByteMs);
        if (c < 0)
            return c;
        switch (c & 0x7F) {
        case ZHEX:
            return ReadHexHeader(h);
        case ZBIN:
        case ZBIN32:
            return ReadBinaryHeader(h, (c & 0x7F) == ZBIN32);
        default:
            return kBadFrame;
        }
    }

    int HexDigit()
    {
        for (;;) {
            const int c = Raw(kByteMs);
            if (c < 0)
                return c;
            const int d = c & 0x7F;
            if (d == XON || d == XOFF)
                continue;
            if (d >= '0' && d <= '9')
                return d - '0';
            if (d >= 'a' && d <= 'f')
                return d - 'a' + 10;
            if (d >= 'A' && d <= 'F')
                return d - 'A' + 10;
            return kBadFrame;
        }
    }

    int ReadHexHeader(Header& h)
    {
        BYTE bytes[7];
        for (BYTE& b : bytes) {
            const int high = HexDigit();
            if (high < 0)
                return high;
            const int low = HexDigit();
            if (low < 0)
                return low;
            b = static_cast<BYTE>(high << 4 | low);
        }
        if (Crc16(bytes, 5) != ((bytes[5] << 8) | bytes[6]))
            return kBadFrame;
        // The CR LF after it, so that a subpacket that follows does not
        // begin with them.
        const int c = Raw(100);
        if (c >= 0) {
            if ((c & 0x7F) == '\r')
                Raw(100);
            else
                Unread();
        }
        return Fill(h, bytes, false);
    }

    int ReadBinaryHeader(Header& h, bool crc32)
    {
        BYTE bytes[9];
        if (const int failed = ReadEscaped(bytes, crc32 ? 9 : 7))
            return failed;
        if (crc32) {
            if (Crc32(bytes, 5) != LittleEndian32(bytes + 5))
                return kBadFrame;
        } else if (Crc16(bytes, 5) != ((bytes[5] << 8) | bytes[6])) {
            return kBadFrame;
        }
        return Fill(h, bytes, crc32);
    }

    static int Fill(Header& h, const BYTE* bytes, bool crc32)
    {
        h.type = bytes[0];
        std::copy_n(bytes + 1, 4, h.p.begin());
        h.crc32 = crc32;
        return h.type;
    }

    void Escape(std::string& out, BYTE c)
    {
        bool escape;
        switch (c) {
        case ZDLE:
        case 0x10:  // DLE: some modems and terminal servers act on it
        case 0x90:
        case XON:
        case XOFF:
        case XON | 0x80:
        case XOFF | 0x80:
            escape = true;
            break;
        case '\r':
        case '\r' | 0x80:
            // "@" CR is a Telnet client's cue to drop into its own command
            // mode on some terminal servers.
            escape = m_escapeControls || (m_last & 0x7F) == '@';
            break;
        default:
            escape = m_escapeControls && (c & 0x60) == 0;
            break;
        }
        if (escape) {
            out += static_cast<char>(ZDLE);
            out += static_cast<char>(c ^ 0x40);
        } else {
            out += static_cast<char>(c);
        }
        m_last = c;
    }

    void AppendCheck(std::string& out, const BYTE* data, std::size_t size, const BYTE* end, bool crc32)
    {
        if (crc32) {
            std::uint32_t crc = Crc32(data, size);
            if (end)
                crc = Crc32(end, 1, crc);
            for (int i = 0; i < 4; ++i)
                Escape(out, static_cast<BYTE>(crc >> (8 * i)));
        } else {
            std::uint16_t crc = Crc16(data, size);
            if (end)
                crc = Crc16(end, 1, crc);
            Escape(out, static_cast<BYTE>(crc >> 8));
            Escape(out, static_cast<BYTE>(crc));
        }
    }

    Link& m_link;
    BYTE m_buffer[4096];
    std::size_t m_at = 0, m_end = 0;
    bool m_escapeControls = false;
    BYTE m_last = 0;
    int m_pollCans = 0;
    std::string m_unsent;
    std::size_t m_coalesce = kCoalesce;
};

// ---- the sender -----------------------------------------------------------------

class Sender {
public:
    Sender(Link& link, Reporter& reporter) : m_wire(link), m_reporter(reporter) {}

    bool Run(const std::vector<std::string>& files, std::string& error)
    {
        if (!Start(error))
            return Fail();
        bool allWhole = true;
        for (const std::string& path : files) {
            XferFileResult result;
            const Outcome outcome = SendFile(path, result);
            m_reporter.FileDone(result);
            if (outcome == Outcome::Fatal) {
                error = result.error;
                return Fail();
            }
            if (outcome != Outcome::Sent) {
                allWhole = false;
                if (error.empty())
                    error = result.error;
            }
        }
        Finish();
        return allWhole;
    }

private:
    enum class Outcome { Sent, Skipped, Fatal };

    bool Fail()
    {
        m_wire.SendAbort();
        return false;
    }

    bool Start(std::string& error)
    {
        // "rz\r" starts the receiver on a shell at the far end; ZMODEM
        // receivers take it as noise.
        m_wire.GetLink().Write(std::string("rz\r"));
        for (int attempt = 0; attempt < kMaxTimeouts; ++attempt) {
            m_wire.SendHex(At(ZRQINIT, 0));
            Header h;
            int type;
            while ((type = m_wire.ReadHeader(h, kAnswerMs)) >= 0) {
                if (type == ZRINIT) {
                    const BYTE flags = h.F0();
                    m_crc32 = (flags & CANFC32) != 0;
                    m_wire.EscapeControls((flags & ESCCTL) != 0);
                    m_streaming = (flags & CANFDX) && (flags & CANOVIO);
                    m_receiverBuffer = h.p[0] | (h.p[1] << 8);
                    return true;
                }
                if (type == ZCHALLENGE) {
                    m_wire.SendHex(At(ZACK, h.Position()));
                    continue;
                }
                if (type == ZNAK)
                    break;
            }
            if (type == kPeerCancelled) {
                error = "the receiver cancelled the transfer";
                return false;
            }
            if (m_wire.GetLink().Cancelled())
                return false;
        }
        error = "no ZMODEM receiver answered within " + std::to_string(kMaxTimeouts * kAnswerMs / 1000) + " s";
        return false;
    }

    void Finish()
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_wire.SendHex(At(ZFIN, 0));
            Header h;
            int type;
            while ((type = m_wire.ReadHeader(h, kAnswerMs)) >= 0 && type != ZFIN) {
            }
            if (type == ZFIN || type == kPeerCancelled || m_wire.GetLink().Cancelled())
                break;
        }
        // "Over and out": the receiver may hand its line back to a shell.
        m_wire.GetLink().Write(std::string("OO"));
    }

    bool SendHeader(const Header& h)
    {
        return m_crc32 ? m_wire.SendBinary(h, true) : m_wire.SendHex(h);
    }

    bool SendFileInfo()
    {
        Header h = Flags(ZFILE, ZCBIN);
        char info[128];
        // size, modification time (octal), mode (octal), serial, files and
        // bytes left: what lrzsz shows and checks.
        std::snprintf(info, sizeof info, "%llu %llo 100644 0 %d %llu", m_file->Size(),
                      static_cast<unsigned long long>(std::max<long long>(m_file->Modified(), 0)), 1,
                      m_file->Size());
        std::vector<BYTE> block(m_file->Name().begin(), m_file->Name().end());
        block.push_back(0);
        block.insert(block.end(), info, info + std::strlen(info) + 1);
        return SendHeader(h) && m_wire.SendSubpacket(block.data(), block.size(), ZCRCW, m_crc32);
    }

    // The answer to a ZCRC: the CRC-32 of the first count bytes (all when
    // 0), so that a receiver can tell its partial copy is of this file.
    std::uint32_t FileCrc(unsigned long long count)
    {
        if (count == 0 || count > m_file->Size())
            count = m_file->Size();
        std::uint32_t crc = 0;
        BYTE buffer[8192];
        for (unsigned long long at = 0; at < count;) {
            const std::size_t n = m_file->ReadAt(at, buffer, std::min<unsigned long long>(sizeof buffer, count - at));
            if (n == 0)
                break;
            crc = Crc32(buffer, n, crc);
            at += n;
        }
        return crc;
    }

    Outcome SendFile(const std::string& path, XferFileResult& result)
    {
        result.path = path;
        std::string why;
        m_file = std::make_unique<FileSource>();
        if (!m_file->Open(path, why)) {
            result.name = path;
            result.error = why;
            return Outcome::Skipped;
        }
        result.name = m_file->Name();
        result.size = m_file->Size();
        m_reporter.FileStarted(result.name, result.size);

        // Offered until the receiver says where to start.
        unsigned long long start = 0;
        int timeouts = 0, naks = 0;
        auto sent = Clock::now();
        SendFileInfo();
        for (bool decided = false; !decided;) {
            Header h;
            const int type = m_wire.ReadHeader(h, kAnswerMs);
            switch (type) {
            case ZRPOS:
                start = h.Position();
                decided = true;
                break;
            case ZSKIP:
                result.error = "the receiver skipped " + Quoted(result.name) + " (it refused it or has it already)";
                return Outcome::Skipped;
            case ZCRC:
                SendHeader(At(ZCRC, FileCrc(h.Position())));
                break;
            case ZRINIT:
                // Either one sent before our ZFILE came, or it did not
                // understand the ZFILE and asks again.
                if (Clock::now() - sent < std::chrono::milliseconds(500))
                    break;
                [[fallthrough]];
            case ZNAK:
                if (++naks > kMaxErrors) {
                    result.error = "the receiver rejected the file header of " + Quoted(result.name) + " " +
                                   std::to_string(naks) + " times";
                    return Outcome::Fatal;
                }
                sent = Clock::now();
                SendFileInfo();
                break;
            case kTimeout:
                if (m_wire.GetLink().Cancelled() || !m_wire.GetLink().DeviceConnected() ||
                    ++timeouts >= kMaxTimeouts) {
                    result.error = TimeoutText("an answer to the file header");
                    return Outcome::Fatal;
                }
                sent = Clock::now();
                SendFileInfo();
                break;
            default:
                if (Refusal(type, result))
                    return Outcome::Fatal;
                break;
            }
        }
        if (start > m_file->Size()) {
            result.error = "the receiver asked for " + Quoted(result.name) + " from byte " + std::to_string(start) +
                           ", beyond its end";
            return Outcome::Fatal;
        }
        return SendData(start, result);
    }

    std::string TimeoutText(const std::string& what) const
    {
        if (m_wire.GetLink().Cancelled())
            return "cancelled";
        if (!m_wire.GetLink().DeviceConnected())
            return "the connection was lost";
        return "no answer from the receiver for " + std::to_string(kMaxTimeouts * kAnswerMs / 1000) +
               " s (waiting for " + what + ")";
    }

    // A header that ends the transfer: true with result.error set.
    bool Refusal(int type, XferFileResult& result) const
    {
        switch (type) {
        case ZFERR:
            result.error = "the receiver could not write " + Quoted(result.name) + " (ZFERR)";
            return true;
        case ZABORT:
        case ZCAN:
        case kPeerCancelled:
            result.error = "the receiver cancelled the transfer";
            return true;
        default:
            return false;
        }
    }

    // What the data phase does with a header from the receiver.
    enum class Answer { None, Rewind, Skip, Fatal };

    Answer Handle(int type, const Header& h, XferFileResult& result)
    {
        switch (type) {
        case ZACK:
            if (h.Position() <= m_position && h.Position() > m_acked) {
                m_acked = h.Position();
                SetWindow(m_window * 2);
            }
            return Answer::None;
        case ZRPOS:
            if (h.Position() > m_file->Size()) {
                result.error = "the receiver asked for a position beyond the end of " + Quoted(result.name);
                return Answer::Fatal;
            }
            // The same place again and again: the line loses every frame.
            if (h.Position() <= m_lastRewind) {
                if (++m_rewinds > kMaxErrors) {
                    result.error = "the line is too noisy: the receiver asked for byte " +
                                   std::to_string(h.Position()) + " of " + Quoted(result.name) + " " +
                                   std::to_string(m_rewinds) + " times";
                    return Answer::Fatal;
                }
            } else {
                m_rewinds = 0;
            }
            m_lastRewind = h.Position();
            m_position = m_acked = h.Position();
            SetWindow(kMinWindow);
            return Answer::Rewind;
        case ZSKIP:
            result.error = "the receiver skipped " + Quoted(result.name);
            return Answer::Skip;
        default:
            return Refusal(type, result) ? Answer::Fatal : Answer::None;
        }
    }

    void SetWindow(unsigned long long window)
    {
        m_window = std::clamp(window, kMinWindow, kMaxWindow);
        m_wire.Coalesce(std::min<std::size_t>(kCoalesce, m_window / 4));
    }

    Outcome SendData(unsigned long long start, XferFileResult& result)
    {
        m_position = m_acked = start;
        m_lastRewind = start;
        m_rewinds = 0;
        const unsigned long long size = m_file->Size();
        std::vector<BYTE> block(kBlock);
        int timeouts = 0;
        bool frameOpen = false;
        unsigned long long frameBytes = 0;
        for (;;) {
            if (m_wire.GetLink().Cancelled()) {
                result.error = "cancelled";
                return Outcome::Fatal;
            }
            if (!frameOpen) {
                SendHeader(At(ZDATA, m_position));
                frameOpen = true;
                frameBytes = 0;
            }
            // The reverse channel: a ZRPOS must stop the stream at once.
            Header h;
            int type = m_wire.PollHeader(h);
            const bool windowFull = m_streaming && m_position - m_acked >= m_window;
            if (type == kTimeout && windowFull) {
                type = m_wire.ReadHeader(h, kAnswerMs);
                if (type == kTimeout) {
                    if (++timeouts >= kMaxTimeouts) {
                        result.error = TimeoutText("an acknowledgement of the data");
                        return Outcome::Fatal;
                    }
                    // The ZACK was lost, or the receiver is hunting for a
                    // header after damage we never heard of: an empty ZCRCW
                    // asks the one, a new ZDATA settles the other.
                    m_wire.SendSubpacket(nullptr, 0, ZCRCW, m_crc32);
                    frameOpen = false;
                    continue;
                }
            }
            if (type != kTimeout) {
                timeouts = 0;
                const Answer answer = Handle(type, h, result);
                if (answer == Answer::Fatal)
                    return Outcome::Fatal;
                if (answer == Answer::Skip)
                    return Outcome::Skipped;
                if (answer == Answer::Rewind)
                    frameOpen = false;
                continue;
            }

            const std::size_t n = m_file->ReadAt(m_position, block.data(), std::min<unsigned long long>(kBlock, size - m_position));
            if (n == 0 && m_position < size) {
                result.error = "cannot read " + m_file->Path();
                return Outcome::Fatal;
            }
            const bool last = m_position + n >= size;
            BYTE end = ZCRCG;
            if (last)
                end = ZCRCE;
            else if (!m_streaming || (m_receiverBuffer && frameBytes + n >= m_receiverBuffer))
                end = ZCRCW;
            else if ((m_position + n) / (m_window / 4) != m_position / (m_window / 4))
                end = ZCRCQ;
            if (!m_wire.SendSubpacket(block.data(), n, end, m_crc32)) {
                // A cancel stops the writes too: say which it was.
                result.error = m_wire.GetLink().Cancelled()         ? "cancelled"
                               : m_wire.GetLink().DeviceConnected() ? "the device took no more data (a line held by flow control?)"
                                                                    : "the connection was lost";
                return Outcome::Fatal;
            }
            m_position += n;
            frameBytes += n;
            m_reporter.Progress(m_position);
            if (end == ZCRCW) {
                const Outcome waited = AwaitAck(result);
                if (waited != Outcome::Sent)
                    return waited;
                frameOpen = false;
            } else if (end == ZCRCE) {
                const Outcome ended = SendEnd(result);
                if (ended != Outcome::Sent || result.complete)
                    return ended;
                // A ZRPOS answered the ZEOF: send again from there.
                frameOpen = false;
            }
        }
    }

    // After a ZCRCW: the receiver's ZACK (or a ZRPOS, which rewinds).
    Outcome AwaitAck(XferFileResult& result)
    {
        for (int timeouts = 0;;) {
            Header h;
            const int type = m_wire.ReadHeader(h, kAnswerMs);
            if (type == kTimeout) {
                if (!m_wire.GetLink().DeviceConnected() || ++timeouts >= kMaxTimeouts) {
                    result.error = TimeoutText("an acknowledgement of the data");
                    return Outcome::Fatal;
                }
                m_wire.SendSubpacket(nullptr, 0, ZCRCW, m_crc32);
                continue;
            }
            const Answer answer = Handle(type, h, result);
            if (answer == Answer::Fatal)
                return Outcome::Fatal;
            if (answer == Answer::Skip)
                return Outcome::Skipped;
            if (answer == Answer::Rewind || (type == ZACK && m_acked == m_position))
                return Outcome::Sent;
        }
    }

    // ZEOF until the receiver confirms with ZRINIT; a ZRPOS instead leaves
    // m_position before the end.
    Outcome SendEnd(XferFileResult& result)
    {
        SendHeader(At(ZEOF, m_file->Size()));
        for (int timeouts = 0;;) {
            Header h;
            const int type = m_wire.ReadHeader(h, kAnswerMs);
            if (type == ZRINIT) {
                result.complete = true;
                return Outcome::Sent;
            }
            if (type == kTimeout) {
                if (!m_wire.GetLink().DeviceConnected() || ++timeouts >= kMaxTimeouts) {
                    result.error = TimeoutText("the receiver's confirmation of the end of " + Quoted(result.name));
                    return Outcome::Fatal;
                }
                SendHeader(At(ZEOF, m_file->Size()));
                continue;
            }
            const Answer answer = Handle(type, h, result);
            if (answer == Answer::Fatal)
                return Outcome::Fatal;
            if (answer == Answer::Skip)
                return Outcome::Skipped;
            if (answer == Answer::Rewind)
                return Outcome::Sent;
        }
    }

    Wire m_wire;
    Reporter& m_reporter;
    std::unique_ptr<FileSource> m_file;
    bool m_crc32 = false;
    bool m_streaming = true;
    unsigned m_receiverBuffer = 0;
    unsigned long long m_position = 0, m_acked = 0, m_lastRewind = 0;
    int m_rewinds = 0;
    unsigned long long m_window = kMaxWindow;
};

// ---- the receiver ---------------------------------------------------------------

struct FileInfo {
    std::string name;
    std::optional<unsigned long long> size;
    long long modified = 0;
};

// "name\0size mtime mode ...": everything after the name is optional.
bool ParseFileInfo(const std::vector<BYTE>& block, FileInfo& info)
{
    const auto nul = std::find(block.begin(), block.end(), BYTE(0));
    if (nul == block.end())
        return false;
    info.name.assign(block.begin(), nul);
    std::string rest(nul + 1, block.end());
    rest = rest.substr(0, rest.find('\0'));
    unsigned long long size = 0, modified = 0;
    const int fields = std::sscanf(rest.c_str(), "%llu %llo", &size, &modified);
    if (fields >= 1)
        info.size = size;
    if (fields >= 2)
        info.modified = static_cast<long long>(modified);
    return true;
}

class Receiver {
public:
    Receiver(Link& link, Reporter& reporter, const Job& job)
        : m_wire(link), m_reporter(reporter), m_sink(job.dir, job.options), m_resume(job.options.resume)
    {
    }

    bool Run(std::string& error)
    {
        const bool ok = Loop(error);
        if (m_fileOpen) {
            // The sink keeps the partial file for a resume when allowed.
            m_current.error = error.empty() ? "the transfer ended early" : error;
            m_reporter.FileDone(m_current);
            m_sink.Abandon(m_resume);
            m_fileOpen = false;
        }
        if (!ok)
            m_wire.SendAbort();
        return ok;
    }

private:
    void SendInit() { m_wire.SendHex(Flags(ZRINIT, CANFDX | CANOVIO | CANFC32)); }

    bool Loop(std::string& error)
    {
        bool allWhole = true;
        bool anyFile = false;
        int timeouts = 0, errors = 0;
        SendInit();
        for (;;) {
            Header h;
            const int type = m_wire.ReadHeader(h, kAnswerMs);
            if (type != kTimeout)
                timeouts = 0;
            switch (type) {
            case kTimeout:
                if (m_wire.GetLink().Cancelled())
                    return false;
                if (!m_wire.GetLink().DeviceConnected()) {
                    error = "the connection was lost";
                    return false;
                }
                if (++timeouts >= kMaxTimeouts) {
                    error = anyFile || m_fileOpen ? "the sender went quiet for " +
                                                        std::to_string(kMaxTimeouts * kAnswerMs / 1000) + " s"
                                                  : "no ZMODEM sender started within " +
                                                        std::to_string(kMaxTimeouts * kAnswerMs / 1000) + " s";
                    return false;
                }
                if (m_fileOpen)
                    m_wire.SendHex(At(ZRPOS, m_sink.Offset()));
                else
                    SendInit();
                break;
            case kPeerCancelled:
            case ZCAN:
            case ZABORT:
                error = "the sender cancelled the transfer";
                return false;
            case ZRQINIT:
                SendInit();
                break;
            case ZSINIT: {
                std::vector<BYTE> attention;
                BYTE end;
                if (m_wire.ReadSubpacket(attention, h.crc32, end) == 0) {
                    m_wire.EscapeControls((h.F0() & TESCCTL) != 0);
                    m_wire.SendHex(At(ZACK, 1));
                } else {
                    m_wire.SendHex(At(ZNAK, 0));
                }
                break;
            }
            case ZFILE:
                if (!OnFile(h, error))
                    return false;
                anyFile = true;
                break;
            case ZDATA:
                if (!m_fileOpen) {
                    SendInit();
                } else if (h.Position() != m_sink.Offset()) {
                    m_wire.SendHex(At(ZRPOS, m_sink.Offset()));
                } else if (!ReceiveData(h, errors, error)) {
                    return false;
                }
                break;
            case ZEOF:
                if (!m_fileOpen) {
                    // Our ZRINIT after the last file was lost.
                    SendInit();
                } else if (h.Position() != m_sink.Offset()) {
                    m_wire.SendHex(At(ZRPOS, m_sink.Offset()));
                } else {
                    if (!EndFile(error) && allWhole) {
                        allWhole = false;
                    }
                    SendInit();
                }
                break;
            case ZFIN:
                m_wire.SendHex(At(ZFIN, 0));
                // "OO", if it comes, is the sender's last word; no answer.
                m_wire.GetLink().ReadByte(500);
                m_wire.GetLink().ReadByte(100);
                return allWhole && m_failures == 0;
            case ZFREECNT:
                m_wire.SendHex(At(ZACK, 0xFFFFFFFFull));
                break;
            case ZCOMMAND:
                // Never run the sender's commands.
                m_wire.SendHex(At(ZCOMPL, 1));
                break;
            default:
                break;
            }
        }
    }

    bool OnFile(const Header& h, std::string& error)
    {
        std::vector<BYTE> block;
        BYTE end;
        FileInfo info;
        if (m_wire.ReadSubpacket(block, h.crc32, end) != 0 || !ParseFileInfo(block, info)) {
            m_wire.SendHex(At(ZNAK, 0));
            return true;
        }
        if (m_fileOpen && info.name == m_current.name) {
            // The sender did not hear our ZRPOS.
            m_wire.SendHex(At(ZRPOS, m_sink.Offset()));
            return true;
        }
        if (m_fileOpen) {
            m_current.error = "the sender moved on to the next file";
            m_reporter.FileDone(m_current);
            m_sink.Abandon(m_resume);
            m_fileOpen = false;
            ++m_failures;
        }
        m_current = XferFileResult{};
        m_current.name = info.name;
        m_current.size = info.size.value_or(0);
        m_expected = info.size;
        m_modified = info.modified;
        m_reporter.FileStarted(info.name, m_current.size);
        std::string why;
        if (!m_sink.Begin(info.name, why)) {
            m_current.error = why;
            m_reporter.FileDone(m_current);
            ++m_failures;
            if (error.empty())
                error = Quoted(info.name) + " " + why;
            m_wire.SendHex(At(ZSKIP, 0));
            return true;
        }
        m_fileOpen = true;
        m_current.path = m_sink.FinalPath();
        // A partial file left by a cut transfer continues where it ends,
        // when the sender's file is longer; otherwise it is not this file.
        if (m_sink.Offset() > 0 && !(m_expected && *m_expected > m_sink.Offset()) && !m_sink.Restart(why)) {
            error = why;
            return false;
        }
        m_reporter.Progress(m_sink.Offset());
        m_wire.SendHex(At(ZRPOS, m_sink.Offset()));
        return true;
    }

    bool ReceiveData(const Header& h, int& errors, std::string& error)
    {
        std::vector<BYTE> data;
        for (;;) {
            BYTE end = 0;
            const int result = m_wire.ReadSubpacket(data, h.crc32, end);
            if (result == kPeerCancelled) {
                error = "the sender cancelled the transfer";
                return false;
            }
            if (result != 0) {
                if (m_wire.GetLink().Cancelled())
                    return false;
                if (++errors > kMaxErrors) {
                    error = "the line is too noisy: " + std::to_string(errors) + " damaged frames in a row in " +
                            Quoted(m_current.name);
                    return false;
                }
                // Everything after the damage is thrown away: the sender
                // starts again from the last good byte.
                m_wire.SendHex(At(ZRPOS, m_sink.Offset()));
                return true;
            }
            errors = 0;
            if (m_expected && m_sink.Offset() + data.size() > *m_expected) {
                error = Quoted(m_current.name) + ": the sender sent more than the " + std::to_string(*m_expected) +
                        " bytes it announced";
                return false;
            }
            if (!data.empty() && !m_sink.Write(data.data(), data.size(), error))
                return false;
            m_reporter.Progress(m_sink.Offset());
            switch (end) {
            case ZCRCW:
                m_wire.SendHex(At(ZACK, m_sink.Offset()));
                return true;
            case ZCRCQ:
                m_wire.SendHex(At(ZACK, m_sink.Offset()));
                break;
            case ZCRCE:
                return true;
            default:
                break;
            }
        }
    }

    // The whole file arrived (ZEOF at our offset): checked and put in place.
    bool EndFile(std::string& error)
    {
        m_fileOpen = false;
        std::string why;
        if (m_sink.Commit(m_expected, m_modified, why)) {
            m_current.size = m_sink.Offset();
            m_current.complete = true;
        } else {
            m_current.error = why;
            ++m_failures;
            if (error.empty())
                error = why;
        }
        m_reporter.FileDone(m_current);
        return m_current.complete;
    }

    Wire m_wire;
    Reporter& m_reporter;
    FileSink m_sink;
    bool m_resume;
    bool m_fileOpen = false;
    XferFileResult m_current;
    std::optional<unsigned long long> m_expected;
    long long m_modified = 0;
    int m_failures = 0;
};

}  // namespace

bool SendZmodem(Link& link, Reporter& reporter, const Job& job, std::string& error)
{
    Sender sender(link, reporter);
    return sender.Run(job.files, error);
}

bool ReceiveZmodem(Link& link, Reporter& reporter, const Job& job, std::string& error)
{
    Receiver receiver(link, reporter, job);
    return receiver.Run(error);
}

}  // namespace tavrin::transfer
