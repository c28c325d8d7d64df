// XMODEM (checksum and CRC-16, 128 and 1024-byte blocks), YMODEM batches
// and YMODEM-G: one sender and one receiver, since the four differ only in
// the block size, the check, the header block and whether blocks are
// acknowledged.
//
// The receiver decides the check and the streaming: it asks with 'C' for
// CRC-16, NAK for the arithmetic checksum and 'G' for YMODEM-G, and the
// sender follows whatever it asked for.
//
// Where a file ends: YMODEM's header block tells the size, and the padding
// of the last block is cut to it. Without a size (XMODEM, or a YMODEM
// header without one) the trailing CPMEOF (0x1A) bytes of the last block are
// taken for padding and dropped, as XMODEM receivers traditionally do; a
// file that really ends in 0x1A loses those bytes, which the protocol gives
// no way to tell apart.
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "Crc.h"
#include "Session.h"

namespace tavrin::transfer {
namespace {

constexpr BYTE SOH = 0x01;
constexpr BYTE STX = 0x02;
constexpr BYTE EOT = 0x04;
constexpr BYTE ACK = 0x06;
constexpr BYTE NAK = 0x15;
constexpr BYTE CAN = 0x18;
constexpr BYTE CPMEOF = 0x1A;
constexpr BYTE WANT_CRC = 'C';
constexpr BYTE WANT_G = 'G';

constexpr int kRetries = 10;
// How long a sender waits for the receiver's first request, and how often
// a receiver repeats its own.
constexpr DWORD kStartMs = 60000;
constexpr DWORD kRequestEveryMs = 3000;
// A receiver that asked with 'C' this many times without an answer falls
// back to the checksum (XMODEM only: YMODEM always has CRC-16).
constexpr int kCrcRequests = 3;
// For an answer to a block, and for the next block after one was answered.
constexpr DWORD kAnswerMs = 10000;
constexpr DWORD kBlockMs = 10000;
// Between the bytes of one block.
constexpr DWORD kByteMs = 2000;
// A lone CAN may be noise; two within this time are a cancel.
constexpr DWORD kSecondCanMs = 1000;

// What tells the far side the transfer is over: CAN CAN..., then
// backspaces, so that a shell that took the CANs for input erases them.
const BYTE kCancelBytes[] = {CAN, CAN, CAN, CAN, CAN, CAN, CAN, CAN, 8, 8, 8, 8, 8, 8, 8, 8};

void SendCancel(Link& link) { link.WriteUrgent(kCancelBytes, sizeof kCancelBytes); }

enum class Check { Sum, Crc16 };

std::size_t CheckSize(Check check) { return check == Check::Crc16 ? 2 : 1; }

BYTE Checksum(const BYTE* data, std::size_t size)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        sum += data[i];
    return static_cast<BYTE>(sum);
}

// SOH/STX, number, its complement, data, check.
std::vector<BYTE> MakeBlock(BYTE number, const BYTE* data, std::size_t size, Check check)
{
    std::vector<BYTE> block;
    block.reserve(3 + size + 2);
    block.push_back(size == 1024 ? STX : SOH);
    block.push_back(number);
    block.push_back(static_cast<BYTE>(~number));
    block.insert(block.end(), data, data + size);
    if (check == Check::Crc16) {
        const std::uint16_t crc = Crc16(data, size);
        block.push_back(static_cast<BYTE>(crc >> 8));
        block.push_back(static_cast<BYTE>(crc));
    } else {
        block.push_back(Checksum(data, size));
    }
    return block;
}

// Reads exactly size bytes, each within kByteMs of the one before.
bool ReadExactly(Link& link, BYTE* buffer, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        const std::size_t n = link.Read(buffer + got, size - got, kByteMs);
        if (n == 0)
            return false;
        got += n;
    }
    return true;
}

// A CAN was read: true when a second one follows, so the far side cancelled.
bool SecondCan(Link& link)
{
    const auto next = link.ReadByte(kSecondCanMs);
    return next && *next == CAN;
}

bool IsYmodem(XferProtocol protocol) { return protocol == XFER_YMODEM || protocol == XFER_YMODEM_G; }

// ---- sending ----------------------------------------------------------------

// What the receiver asked for at the start of a file.
struct Request {
    Check check = Check::Crc16;
    bool streaming = false;  // 'G': no acknowledgements
};

class Sender {
public:
    Sender(Link& link, Reporter& reporter, const Job& job, std::string& error)
        : m_link(link), m_reporter(reporter), m_job(job), m_error(error), m_ymodem(IsYmodem(job.protocol))
    {
    }

    bool Run()
    {
        for (const std::string& path : m_job.files) {
            FileSource source;
            if (!source.Open(path, m_error)) {
                SendCancel(m_link);
                return false;
            }
            const bool sent = SendFile(source);
            XferFileResult result{source.Name(), source.Path(), source.Size(), sent, sent ? "" : m_error};
            m_reporter.FileDone(result);
            if (!sent)
                return false;
        }
        return !m_ymodem || EndBatch();
    }

private:
    // The file starts, for the host, when the receiver asks for it.
    bool SendFile(FileSource& source)
    {
        const bool asked = AwaitRequest();
        m_reporter.FileStarted(source.Name(), source.Size());
        if (!asked)
            return false;
        if (m_ymodem) {
            if (!SendHeader(source))
                return false;
            // The receiver asks again once it has opened the file.
            if (!AwaitRequest())
                return false;
        }
        return SendData(source) && SendEnd();
    }

    // Waits for 'C', NAK or 'G' (YMODEM); a refusal or silence fails.
    bool AwaitRequest()
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
        for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            const auto byte = m_link.ReadByte(static_cast<DWORD>(std::min<long long>(1000, left + 1)));
            if (m_link.Cancelled())
                return Cancelled();
            if (!byte)
                continue;
            switch (*byte) {
            case WANT_CRC:
                m_request = {Check::Crc16, false};
                return true;
            case WANT_G:
                if (m_ymodem) {
                    m_request = {Check::Crc16, true};
                    return true;
                }
                break;
            case NAK:
                // YMODEM has no checksum mode; a NAK there is a stale answer.
                if (!m_ymodem) {
                    m_request = {Check::Sum, false};
                    return true;
                }
                break;
            case CAN:
                if (SecondCan(m_link))
                    return Fail("the receiver cancelled the transfer");
                break;
            default:
                break;  // line noise, an echo, a stale ACK
            }
        }
        return Fail("the receiver did not ask for the file within " + std::to_string(kStartMs / 1000) + " s");
    }

    // Block 0: name, NUL, then "size mtime mode serial" in YMODEM's fields
    // (decimal size, octal time and mode).
    bool SendHeader(FileSource& source)
    {
        std::vector<BYTE> header(128, 0);
        char fields[96];
        const int length = std::snprintf(fields, sizeof fields, "%llu %llo %o 0", source.Size(),
                                         static_cast<unsigned long long>(std::max(0LL, source.Modified())),
                                         0100644u);
        const std::size_t needed = source.Name().size() + 1 + static_cast<std::size_t>(length) + 1;
        if (needed > 1024) {
            SendCancel(m_link);
            return Fail("the name " + source.Name() + " is too long for YMODEM's header block");
        }
        if (needed > 128)
            header.resize(1024, 0);
        std::memcpy(header.data(), source.Name().data(), source.Name().size());
        std::memcpy(header.data() + source.Name().size() + 1, fields, static_cast<std::size_t>(length));
        return SendBlock(0, header.data(), header.size(), true);
    }

    bool SendData(FileSource& source)
    {
        const bool big = m_job.protocol != XFER_XMODEM && m_request.check == Check::Crc16;
        std::vector<BYTE> data(1024);
        unsigned long long offset = 0;
        BYTE number = 1;
        while (offset < source.Size()) {
            const unsigned long long left = source.Size() - offset;
            // A short end goes in a small block: 133 bytes on the line, not 1029.
            const std::size_t size = big && left > 128 ? 1024 : 128;
            const std::size_t got = source.ReadAt(offset, data.data(), std::min<unsigned long long>(size, left));
            if (got == 0) {
                SendCancel(m_link);
                return Fail("cannot read " + source.Path() + " at byte " + std::to_string(offset));
            }
            std::fill(data.begin() + static_cast<std::ptrdiff_t>(got), data.begin() + static_cast<std::ptrdiff_t>(size),
                      CPMEOF);
            if (!SendBlock(number, data.data(), size, false))
                return false;
            offset += got;
            ++number;
            m_reporter.Progress(offset);
        }
        return true;
    }

    // Sends a block until it is acknowledged (streaming: once, then looks
    // for a cancel without waiting).
    bool SendBlock(BYTE number, const BYTE* data, std::size_t size, bool header)
    {
        const Check check = header ? Check::Crc16 : m_request.check;
        const std::vector<BYTE> block = MakeBlock(number, data, size, check);
        for (int attempt = 0; attempt < kRetries; ++attempt) {
            if (!m_link.Write(block.data(), block.size()))
                return m_link.Cancelled() ? Cancelled() : Fail("the device refused the data");
            if (m_request.streaming)
                return header || NotCancelledMeanwhile();
            switch (AwaitAnswer()) {
            case Answer::Ack:
                return true;
            case Answer::Nak:
            case Answer::Silence:
                continue;
            case Answer::Cancel:
                return Fail(header ? "the receiver refused " + std::string(reinterpret_cast<const char*>(data))
                                   : "the receiver cancelled the transfer");
            case Answer::Stopped:
                return Cancelled();
            }
        }
        SendCancel(m_link);
        return Fail("block " + std::to_string(number) + " was refused " + std::to_string(kRetries) + " times");
    }

    enum class Answer { Ack, Nak, Silence, Cancel, Stopped };

    Answer AwaitAnswer()
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerMs);
        while (Clock::now() < deadline) {
            const auto byte = m_link.ReadByte(500);
            if (m_link.Cancelled())
                return Answer::Stopped;
            if (!byte)
                continue;
            if (*byte == ACK)
                return Answer::Ack;
            if (*byte == NAK)
                return Answer::Nak;
            if (*byte == CAN && SecondCan(m_link))
                return Answer::Cancel;
            // 'C' repeated by a receiver that missed the header, noise: wait on.
        }
        return Answer::Silence;
    }

    // YMODEM-G: the receiver speaks only to cancel.
    bool NotCancelledMeanwhile()
    {
        if (m_link.Cancelled())
            return Cancelled();
        BYTE scratch[64];
        std::size_t n;
        while ((n = m_link.Read(scratch, sizeof scratch, 0)) > 0) {
            for (std::size_t i = 0; i < n; ++i) {
                if (scratch[i] == CAN && (i + 1 < n ? scratch[i + 1] == CAN : SecondCan(m_link)))
                    return Fail("the receiver cancelled the transfer");
            }
        }
        return true;
    }

    // EOT until acknowledged: YMODEM receivers NAK the first to be sure.
    bool SendEnd()
    {
        const BYTE eot = EOT;
        for (int attempt = 0; attempt < kRetries; ++attempt) {
            if (!m_link.Write(&eot, 1))
                return m_link.Cancelled() ? Cancelled() : Fail("the device refused the data");
            switch (AwaitAnswer()) {
            case Answer::Ack:
                return true;
            case Answer::Nak:
            case Answer::Silence:
                continue;
            case Answer::Cancel:
                return Fail("the receiver cancelled the transfer at the end of the file");
            case Answer::Stopped:
                return Cancelled();
            }
        }
        return Fail("the receiver did not acknowledge the end of the file");
    }

    // An empty block 0 ends a YMODEM batch.
    bool EndBatch()
    {
        if (!AwaitRequest())
            return false;
        const std::array<BYTE, 128> empty{};
        // Streaming or not, the receiver acknowledges the end of the batch;
        // one that has already gone does not, and the files are whole anyway.
        m_request.streaming = false;
        const std::vector<BYTE> block = MakeBlock(0, empty.data(), empty.size(), Check::Crc16);
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!m_link.Write(block.data(), block.size()))
                return m_link.Cancelled() ? Cancelled() : Fail("the device refused the data");
            const Answer answer = AwaitAnswer();
            if (answer == Answer::Ack || answer == Answer::Silence || answer == Answer::Cancel)
                return true;
            if (answer == Answer::Stopped)
                return Cancelled();
        }
        return true;
    }

    bool Cancelled()
    {
        SendCancel(m_link);
        return Fail("cancelled");
    }

    bool Fail(const std::string& why)
    {
        m_error = why;
        return false;
    }

    Link& m_link;
    Reporter& m_reporter;
    const Job& m_job;
    std::string& m_error;
    const bool m_ymodem;
    Request m_request;
};

// ---- receiving --------------------------------------------------------------

// The fields of a YMODEM header block.
struct Header {
    std::string name;
    std::optional<unsigned long long> size;
    long long modified = 0;
};

Header ParseHeader(const BYTE* data, std::size_t size)
{
    Header header;
    const auto* text = reinterpret_cast<const char*>(data);
    const std::size_t nameEnd = std::find(data, data + size, 0) - data;
    header.name.assign(text, nameEnd);
    if (nameEnd + 1 >= size)
        return header;
    // The fields are text up to the next NUL, at most to the block's end.
    const std::size_t fieldsEnd = std::find(data + nameEnd + 1, data + size, 0) - data;
    const std::string fields(text + nameEnd + 1, fieldsEnd - nameEnd - 1);
    unsigned long long length = 0, modified = 0;
    const int n = std::sscanf(fields.c_str(), "%llu %llo", &length, &modified);
    if (n >= 1)
        header.size = length;
    if (n >= 2)
        header.modified = static_cast<long long>(modified);
    return header;
}

class Receiver {
public:
    Receiver(Link& link, Reporter& reporter, const Job& job, std::string& error)
        : m_link(link), m_reporter(reporter), m_job(job), m_error(error), m_ymodem(IsYmodem(job.protocol)),
          m_streaming(job.protocol == XFER_YMODEM_G), m_sink(job.dir, job.options)
    {
    }

    bool Run()
    {
        if (!m_ymodem)
            return ReceiveFile(Header{m_job.xmodemFileName, std::nullopt, 0}, true);
        for (bool first = true;; first = false) {
            Header header;
            if (!ReceiveHeader(header, first))
                return false;
            if (header.name.empty())
                return true;  // the empty header: the batch is over
            if (!ReceiveFile(header, false))
                return false;
        }
    }

private:
    enum class Got { Block, End, Fail };

    bool ReceiveHeader(Header& header, bool first)
    {
        m_check = Check::Crc16;
        BYTE number = 0;
        std::size_t size = 0;
        if (ReceiveBlock(number, size, RequestByte(), first ? kStartMs : kBlockMs) != Got::Block)
            return m_error.empty() ? Fail("the sender sent no file header") : false;
        if (number != 0) {
            SendCancel(m_link);
            return Fail("the sender sent block " + std::to_string(number) + " where the file header belongs");
        }
        header = ParseHeader(m_block.data(), size);
        if (header.name.empty()) {
            Ack();
            return true;
        }
        if (!m_sink.Begin(header.name, m_error)) {
            SendCancel(m_link);
            m_reporter.FileStarted(header.name, header.size.value_or(0));
            m_reporter.FileDone({header.name, {}, 0, false, m_error});
            return false;
        }
        if (m_streaming)
            return true;  // YMODEM-G answers the header with the next 'G' alone
        return Ack();
    }

    // Header: the YMODEM header, already taken (its name, size, time); for
    // XMODEM, the name the host gave and no size.
    bool ReceiveFile(const Header& header, bool xmodem)
    {
        if (xmodem && !m_sink.Begin(header.name, m_error)) {
            m_reporter.FileStarted(header.name, 0);
            m_reporter.FileDone({header.name, {}, 0, false, m_error});
            return false;
        }
        // Neither XMODEM nor YMODEM can continue a partial file.
        if (m_sink.Offset() > 0 && !m_sink.Restart(m_error))
            return FileFailed(header);
        m_reporter.FileStarted(header.name, header.size.value_or(0));
        m_held.clear();
        m_blocks = 0;
        BYTE expected = 1;
        DWORD waitMs = xmodem ? kStartMs : kBlockMs;
        // XMODEM starts with our request; YMODEM asks again for the data
        // once the header is acknowledged.
        BYTE request = RequestByte();
        for (;;) {
            BYTE number = 0;
            std::size_t size = 0;
            const Got got = ReceiveBlock(number, size, request, waitMs);
            request = 0;
            waitMs = kBlockMs;
            if (got == Got::Fail)
                return FileFailed(header);
            if (got == Got::End)
                break;
            if (m_blocks == 0 && number == 0 && m_ymodem) {
                // The header again: our ACK was lost. Acknowledge and ask anew.
                request = RequestByte();
                if (m_streaming || Ack())
                    continue;
                return FileFailed(header);
            }
            if (m_blocks > 0 && number == static_cast<BYTE>(expected - 1)) {
                // Our ACK was lost and the block came again.
                if (Ack())
                    continue;
                return FileFailed(header);
            }
            if (number != expected) {
                SendCancel(m_link);
                Fail("block " + std::to_string(number) + " arrived where block " + std::to_string(expected) +
                     " belongs");
                return FileFailed(header);
            }
            if (!Store(header, size) || (!m_streaming && !Ack())) {
                SendCancel(m_link);
                return FileFailed(header);
            }
            ++expected;
            ++m_blocks;
            m_reporter.Progress(m_sink.Offset() + m_held.size());
        }
        if (!FlushHeld() || !m_sink.Commit(header.size, header.modified, m_error)) {
            SendCancel(m_link);
            return FileFailed(header);
        }
        Ack();
        m_reporter.FileDone({header.name, m_sink.FinalPath(), header.size.value_or(m_sink.Offset()), true, {}});
        return true;
    }

    // With a size, keeps what belongs to the file; without one, holds the
    // latest block back until the next shows it was not the last.
    bool Store(const Header& header, std::size_t size)
    {
        if (header.size) {
            const unsigned long long left = *header.size - std::min(*header.size, m_sink.Offset());
            return m_sink.Write(m_block.data(), static_cast<std::size_t>(std::min<unsigned long long>(size, left)),
                                m_error);
        }
        if (!FlushHeld(false))
            return false;
        m_held.assign(m_block.begin(), m_block.begin() + static_cast<std::ptrdiff_t>(size));
        return true;
    }

    bool FlushHeld(bool last = true)
    {
        if (last)
            while (!m_held.empty() && m_held.back() == CPMEOF)
                m_held.pop_back();
        const bool ok = m_held.empty() || m_sink.Write(m_held.data(), m_held.size(), m_error);
        m_held.clear();
        return ok;
    }

    // Sends request (none: 0) and reads one block. Silence is answered with
    // the request again (NAK once blocks flow), damage with NAK. End on EOT
    // (YMODEM's first EOT is NAKed, as senders expect); Fail, with m_error
    // set, on a cancel, on silence until waitMs has passed or on too many
    // damaged blocks.
    Got ReceiveBlock(BYTE& number, std::size_t& size, BYTE request, DWORD waitMs)
    {
        int damaged = 0, crcRequests = 0;
        bool eotSeen = false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        BYTE nudge = request ? request : NAK;
        if (request && !SendRequest(request, crcRequests))
            return Got::Fail;
        for (;;) {
            const auto first = m_link.ReadByte(kRequestEveryMs);
            if (m_link.Cancelled())
                return Cancelled();
            if (!first) {
                if (Clock::now() >= deadline) {
                    SendCancel(m_link);
                    Fail(m_blocks == 0 && !eotSeen ? "the sender did not start" : "the sender went silent");
                    return Got::Fail;
                }
                // An XMODEM sender that ignores 'C' may know only the checksum.
                if (nudge == WANT_CRC && !m_ymodem && crcRequests >= kCrcRequests) {
                    nudge = NAK;
                    m_check = Check::Sum;
                }
                // Mid-stream, YMODEM-G has nothing to ask for: only wait.
                if ((request || !m_streaming) && !SendRequest(nudge, crcRequests))
                    return Got::Fail;
                continue;
            }
            switch (*first) {
            case SOH:
            case STX:
                size = *first == STX ? 1024 : 128;
                if (ReadBlockBody(number, size))
                    return Got::Block;
                break;
            case EOT:
                if (m_ymodem && !m_streaming && !eotSeen) {
                    eotSeen = true;
                    if (!Send(NAK))
                        return Got::Fail;
                    continue;
                }
                return Got::End;
            case CAN:
                if (SecondCan(m_link)) {
                    Fail("the sender cancelled the transfer");
                    return Got::Fail;
                }
                continue;
            default:
                continue;  // noise between blocks
            }
            // A damaged block: streaming cannot repeat it.
            if (m_streaming) {
                SendCancel(m_link);
                Fail("a damaged block on a YMODEM-G link, which cannot repeat it");
                return Got::Fail;
            }
            if (++damaged >= kRetries) {
                SendCancel(m_link);
                Fail("a block was damaged " + std::to_string(kRetries) + " times");
                return Got::Fail;
            }
            m_link.Drain(200, 3000);
            if (!Send(NAK))
                return Got::Fail;
        }
    }

    bool SendRequest(BYTE request, int& crcRequests)
    {
        if (request == WANT_CRC)
            ++crcRequests;
        return Send(request);
    }

    // The rest of a block after SOH/STX: number, complement, data, check.
    bool ReadBlockBody(BYTE& number, std::size_t size)
    {
        const std::size_t total = 2 + size + CheckSize(m_check);
        if (m_block.size() < 2 + 1024 + 2)
            m_block.resize(2 + 1024 + 2);
        if (!ReadExactly(m_link, m_block.data(), total))
            return false;
        if (static_cast<BYTE>(m_block[0] ^ m_block[1]) != 0xFF)
            return false;
        number = m_block[0];
        const BYTE* data = m_block.data() + 2;
        const BYTE* check = data + size;
        bool good;
        if (m_check == Check::Crc16)
            good = Crc16(data, size) == static_cast<std::uint16_t>(check[0] << 8 | check[1]);
        else
            good = Checksum(data, size) == check[0];
        if (good)
            std::memmove(m_block.data(), data, size);
        return good;
    }

    BYTE RequestByte() const { return m_streaming ? WANT_G : WANT_CRC; }

    bool Ack() { return Send(ACK); }

    bool Send(BYTE byte)
    {
        if (m_link.Write(&byte, 1))
            return true;
        // A cancel that came in mid-block ends here: the sender must hear
        // of it, or it waits out its retries.
        if (m_link.Cancelled())
            Cancelled();
        else
            Fail("the device refused the data");
        return false;
    }

    Got Cancelled()
    {
        SendCancel(m_link);
        Fail("cancelled");
        return Got::Fail;
    }

    bool FileFailed(const Header& header)
    {
        m_sink.Abandon(false);
        m_reporter.FileDone({header.name, {}, m_sink.Offset(), false, m_error});
        return false;
    }

    bool Fail(const std::string& why)
    {
        m_error = why;
        return false;
    }

    Link& m_link;
    Reporter& m_reporter;
    const Job& m_job;
    std::string& m_error;
    const bool m_ymodem;
    const bool m_streaming;
    FileSink m_sink;
    Check m_check = Check::Crc16;
    unsigned long long m_blocks = 0;  // of the current file
    std::vector<BYTE> m_block;
    std::vector<BYTE> m_held;
};

}  // namespace

bool SendXmodem(Link& link, Reporter& reporter, const Job& job, std::string& error)
{
    return Sender(link, reporter, job, error).Run();
}

bool ReceiveXmodem(Link& link, Reporter& reporter, const Job& job, std::string& error)
{
    return Receiver(link, reporter, job, error).Run();
}

}  // namespace tavrin::transfer
