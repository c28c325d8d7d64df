// Files between two devices of this library, in the packet link's frames
// (engine/Packet.h) on a transparent device.
//
// Every message is one frame whose first payload byte names it:
//   sender:   'H' flag(1) size(8) modified(8) sha256(32) name   a file;
//                 flag 0 offers to resume, 1 asks to start over
//             'D' offset(8) bytes                              data
//             'E'                                              end of file
//             'F'                                              end of batch
//   receiver: 'R' offset(8) sha256(32)   resume from offset; the hash is
//                                        that of the offset bytes it has
//             'A' offset(8)              data taken; the next offset
//             'K'                        file kept (after E), batch over (F)
//             'X' reason                 refused: the file, or its check
// Numbers are big-endian. A frame that arrives damaged is answered with a
// single NAK byte and sent again; two CAN bytes outside a frame end the
// transfer. The sender waits for an answer to every frame; since each
// answer names the offset the receiver wants next, a lost or repeated frame
// costs one round trip and never a wrong file.
//
// Resume: the receiver answers the header with the length of the partial
// file it kept and the SHA-256 of that prefix. The sender compares it with
// its own file's first bytes and, when they differ, asks to start over, so
// that a stale partial file of another content is never extended. The
// SHA-256 of the whole file, checked before the rename, protects the
// result either way.
#include <algorithm>
#include <cstring>
#include <optional>

#include "../engine/Packet.h"
#include "Session.h"
#include "Sha256.h"

namespace tavrin::transfer {
namespace {

constexpr DWORD kAnswerMs = 5000;       // a frame's answer, before sending it again
constexpr int kTries = 6;               // of one frame
// The first header is repeated each second for a minute: the receiver may
// start later, or flush its line as it opens it.
constexpr DWORD kFirstAnswerMs = 1000;
constexpr int kFirstTries = 60;
constexpr DWORD kByteMs = 3000;         // between the bytes of one frame
constexpr DWORD kSenderQuietMs = 60000; // the receiver gives up on a silent sender
// Data bytes per frame: escaped, with its type and offset, a frame holds
// at most twice this and stays under the 4096-byte payload limit.
constexpr std::size_t kChunk = 2032;

using Bytes = std::vector<BYTE>;

void PutNumber(Bytes& out, unsigned long long value)
{
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<BYTE>(value >> shift));
}

unsigned long long GetNumber(const Bytes& in, std::size_t at)
{
    unsigned long long value = 0;
    for (std::size_t i = 0; i < 8; ++i)
        value = (value << 8) | in[at + i];
    return value;
}

std::string Hex(const Sha256::Digest& digest)
{
    std::string text;
    for (BYTE b : digest) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

// What came over the link: a whole frame, a single answer byte, or why
// nothing did.
struct Event {
    enum Kind { Frame, Ack, Nak, Cancel, BadFrame, Timeout, Stopped } kind = Timeout;
    Bytes payload;  // unescaped, for Frame
};

class FrameLink {
public:
    explicit FrameLink(Link& link) : m_link(link) {}

    bool Send(const Bytes& payload)
    {
        BYTE escaped[PACKET_MAX_PAYLOAD];
        const DWORD length = EscapePacketPayload(payload.data(), static_cast<DWORD>(payload.size()), escaped,
                                                 sizeof escaped);
        BYTE frame[PACKET_MAX_FRAME];
        const DWORD size = length ? BuildPacketFrame(escaped, length, frame, sizeof frame) : 0;
        // One write per frame: a frame never interleaves with anything.
        return size != 0 && m_link.Write(frame, size);
    }

    bool SendByte(BYTE b) { return m_link.Write(&b, 1); }
    // Two, as a lone byte of noise must not end a transfer; written after
    // the host cancelled too, which is when it is needed.
    void SendCancel()
    {
        const BYTE cancel[] = {PACKET_CAN, PACKET_CAN};
        m_link.WriteUrgent(cancel, sizeof cancel);
    }
    bool Cancelled() const { return m_link.Cancelled(); }

    // The next event, waiting at most timeoutMs for it to begin.
    Event Next(DWORD timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int cancels = 0;
        for (;;) {
            if (m_link.Cancelled())
                return {Event::Stopped, {}};
            const auto now = Clock::now();
            if (now >= deadline)
                return {Event::Timeout, {}};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            const std::optional<BYTE> b = NextByte(static_cast<DWORD>(left) + 1);
            if (!b)
                continue;
            if (*b == PACKET_CAN) {
                if (++cancels == 2)
                    return {Event::Cancel, {}};
                continue;
            }
            cancels = 0;
            if (*b == PACKET_ACK)
                return {Event::Ack, {}};
            if (*b == PACKET_NAK)
                return {Event::Nak, {}};
            if (*b == PACKET_SOH)
                return ReadFrame();
        }
    }

private:
    std::optional<BYTE> NextByte(DWORD timeoutMs)
    {
        if (m_at == m_filled) {
            m_at = 0;
            m_filled = m_link.Read(m_buffer, sizeof m_buffer, timeoutMs);
            if (m_filled == 0)
                return std::nullopt;
        }
        return m_buffer[m_at++];
    }

    // Decimal digits up to the byte end; nothing for a malformed field.
    std::optional<unsigned long long> ReadField(BYTE end, int maxDigits)
    {
        unsigned long long value = 0;
        for (int digits = 0;; ++digits) {
            const std::optional<BYTE> b = NextByte(kByteMs);
            if (!b)
                return std::nullopt;
            if (*b == end && digits > 0)
                return value;
            if (*b < '0' || *b > '9' || digits == maxDigits)
                return std::nullopt;
            value = value * 10 + static_cast<unsigned>(*b - '0');
        }
    }

    Event ReadFrame()
    {
        const auto length = ReadField(PACKET_STX, 4);
        if (!length || *length > PACKET_MAX_PAYLOAD)
            return {Event::BadFrame, {}};
        Bytes raw;
        raw.reserve(*length);
        unsigned long long sum = 0;
        while (raw.size() < *length) {
            const std::optional<BYTE> b = NextByte(kByteMs);
            if (!b)
                return {Event::BadFrame, {}};
            raw.push_back(*b);
            sum += *b;
        }
        const std::optional<BYTE> etx = NextByte(kByteMs);
        if (!etx || *etx != PACKET_ETX)
            return {Event::BadFrame, {}};
        const auto check = ReadField(PACKET_EOT, 10);
        if (!check || *check != sum)
            return {Event::BadFrame, {}};
        Event event{Event::Frame, {}};
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == PACKET_BEL) {
                if (++i == raw.size())
                    return {Event::BadFrame, {}};
                event.payload.push_back(static_cast<BYTE>(raw[i] ^ 0x80));
            } else {
                event.payload.push_back(raw[i]);
            }
        }
        if (event.payload.empty())
            return {Event::BadFrame, {}};
        return event;
    }

    Link& m_link;
    BYTE m_buffer[4096];
    std::size_t m_at = 0, m_filled = 0;
};

// ---- the sender ---------------------------------------------------------------

class Sender {
public:
    Sender(Link& link, Reporter& reporter, std::string& error) : m_frames(link), m_reporter(reporter), m_error(error)
    {
    }

    bool Run(const std::vector<std::string>& files)
    {
        bool allWhole = true;
        bool first = true;
        for (const std::string& path : files) {
            if (m_stopped)
                break;
            allWhole = SendFile(path, first) && allWhole;
            first = false;
        }
        if (m_stopped)
            return false;
        std::optional<Bytes> answer = Exchange({'F'}, "K", kTries);
        return answer && allWhole;
    }

private:
    bool SendFile(const std::string& path, bool first)
    {
        FileSource source;
        XferFileResult result;
        result.path = path;
        std::string why;
        if (!source.Open(path, why))
            return Fail(result, why);
        result.name = source.Name();
        result.size = source.Size();
        m_reporter.FileStarted(source.Name(), source.Size());
        std::optional<Sha256::Digest> whole = HashPrefix(source, source.Size());
        if (!whole)
            return Fail(result, "cannot read " + path);

        std::optional<Bytes> answer = Exchange(Header(source, *whole, 0), "RX", first ? kFirstTries : kTries,
                                                first ? kFirstAnswerMs : kAnswerMs);
        if (!answer)
            return Fail(result, m_error);
        if ((*answer)[0] == 'X')
            return Fail(result, "the receiver refused " + source.Name() + ": " + Reason(*answer));
        unsigned long long offset = answer->size() >= 41 ? GetNumber(*answer, 1) : 0;
        if (offset > 0) {
            Sha256::Digest theirs;
            std::copy(answer->begin() + 9, answer->begin() + 41, theirs.begin());
            const std::optional<Sha256::Digest> ours =
                offset <= source.Size() ? HashPrefix(source, offset) : std::nullopt;
            if (!ours || *ours != theirs) {
                answer = Exchange(Header(source, *whole, 1), "RX", kTries);
                if (!answer)
                    return Fail(result, m_error);
                if ((*answer)[0] == 'X')
                    return Fail(result, "the receiver refused " + source.Name() + ": " + Reason(*answer));
                offset = 0;
            }
        }
        m_reporter.Progress(offset);
        int stalls = 0;
        while (offset < source.Size()) {
            Bytes data{'D'};
            PutNumber(data, offset);
            BYTE chunk[kChunk];
            const std::size_t got = source.ReadAt(offset, chunk, static_cast<std::size_t>(
                                                                     std::min<unsigned long long>(kChunk, source.Size() - offset)));
            if (got == 0)
                return Fail(result, "cannot read " + path);
            data.insert(data.end(), chunk, chunk + got);
            answer = Exchange(data, "AX", kTries);
            if (!answer)
                return Fail(result, m_error);
            if ((*answer)[0] == 'X')
                return Fail(result, "the receiver stopped " + source.Name() + ": " + Reason(*answer));
            if (answer->size() < 9 || GetNumber(*answer, 1) > source.Size())
                return Fail(result, "the receiver asked for data beyond the end of " + source.Name());
            // A receiver that keeps asking for what it was just sent does
            // not take the data (a full disk, a file that grew).
            const unsigned long long next = GetNumber(*answer, 1);
            stalls = next > offset ? 0 : stalls + 1;
            if (stalls > kTries)
                return Fail(result, "the receiver does not take the data of " + source.Name());
            offset = next;
            m_reporter.Progress(offset);
        }
        answer = Exchange({'E'}, "KX", kTries);
        if (!answer)
            return Fail(result, m_error);
        if ((*answer)[0] == 'X')
            return Fail(result, "the receiver did not keep " + source.Name() + ": " + Reason(*answer));
        result.complete = true;
        m_reporter.FileDone(result);
        return true;
    }

    static Bytes Header(FileSource& source, const Sha256::Digest& hash, BYTE flag)
    {
        Bytes header{'H', flag};
        PutNumber(header, source.Size());
        PutNumber(header, static_cast<unsigned long long>(source.Modified()));
        header.insert(header.end(), hash.begin(), hash.end());
        header.insert(header.end(), source.Name().begin(), source.Name().end());
        return header;
    }

    static std::string Reason(const Bytes& answer) { return std::string(answer.begin() + 1, answer.end()); }

    std::optional<Sha256::Digest> HashPrefix(FileSource& source, unsigned long long length)
    {
        Sha256 hash;
        BYTE buffer[65536];
        for (unsigned long long at = 0; at < length;) {
            const std::size_t want = static_cast<std::size_t>(std::min<unsigned long long>(sizeof buffer, length - at));
            const std::size_t got = source.ReadAt(at, buffer, want);
            if (got == 0)
                return std::nullopt;
            hash.Update(buffer, got);
            at += got;
        }
        return hash.Finish();
    }

    bool Fail(XferFileResult& result, const std::string& why)
    {
        result.complete = false;
        result.error = why;
        m_error = why;
        m_reporter.FileDone(result);
        return false;
    }

    // Sends the frame until an answer of one of the types arrives; nothing,
    // with the error set, after the tries, a cancel or a refusal.
    std::optional<Bytes> Exchange(const Bytes& payload, const char* types, int tries, DWORD answerMs = kAnswerMs)
    {
        int naks = 0;
        for (int attempt = 0; attempt < tries; ++attempt) {
            if (!m_frames.Send(payload)) {
                m_stopped = true;
                m_error = m_frames.Cancelled() ? "cancelled" : "the device did not take the data";
                if (m_frames.Cancelled())
                    m_frames.SendCancel();
                return std::nullopt;
            }
            const auto deadline = Clock::now() + std::chrono::milliseconds(answerMs);
            bool again = false;
            while (!again) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                const Event event = m_frames.Next(left.count() > 0 ? static_cast<DWORD>(left.count()) : 0);
                switch (event.kind) {
                case Event::Frame:
                    // An answer of another type is a late one to a frame
                    // sent twice: it is passed over.
                    if (std::strchr(types, event.payload[0]))
                        return event.payload;
                    break;
                case Event::Nak:
                    ++naks;
                    again = true;
                    break;
                case Event::Cancel:
                    m_stopped = true;
                    m_error = "the receiver cancelled the transfer";
                    return std::nullopt;
                case Event::Stopped:
                    m_stopped = true;
                    m_error = "cancelled";
                    m_frames.SendCancel();
                    return std::nullopt;
                case Event::Timeout:
                    again = true;
                    break;
                default:
                    break;
                }
            }
        }
        m_stopped = true;
        m_error = naks == tries ? "the receiver rejected every copy of a frame (a damaged line?)"
                                : "no answer from the receiver (timed out after " + std::to_string(tries) + " tries)";
        return std::nullopt;
    }

    FrameLink m_frames;
    Reporter& m_reporter;
    std::string& m_error;
    bool m_stopped = false;
};

// ---- the receiver -------------------------------------------------------------

class Receiver {
public:
    Receiver(Link& link, Reporter& reporter, const Job& job, std::string& error)
        : m_frames(link), m_reporter(reporter), m_sink(job.dir, job.options), m_error(error)
    {
    }

    bool Run()
    {
        for (;;) {
            const Event event = m_frames.Next(kSenderQuietMs);
            switch (event.kind) {
            case Event::Frame:
                if (!Handle(event.payload))
                    return m_files > 0 && m_allWhole;
                break;
            case Event::BadFrame:
                m_frames.SendByte(PACKET_NAK);
                break;
            case Event::Cancel:
                return Stop("the sender cancelled the transfer");
            case Event::Stopped:
                m_frames.SendCancel();
                return Stop("cancelled");
            case Event::Timeout:
                return Stop("the sender went quiet");
            default:
                break;
            }
        }
    }

private:
    // False once the batch is over.
    bool Handle(const Bytes& message)
    {
        switch (message[0]) {
        case 'H':
            if (message.size() < 1 + 1 + 8 + 8 + 32)
                return Answer({'X'}, "a malformed header");
            OnHeader(message);
            return true;
        case 'D':
            if (message.size() < 9)
                return Answer({'X'}, "a malformed data frame");
            OnData(GetNumber(message, 1), message.data() + 9, message.size() - 9);
            return true;
        case 'E':
            OnEnd();
            return true;
        case 'F':
            if (m_open)
                Stop("the batch ended before " + m_name);
            m_frames.Send({'K'});
            return false;
        default:
            return Answer({'X'}, "an unknown frame");
        }
    }

    bool Answer(Bytes answer, const std::string& text)
    {
        answer.insert(answer.end(), text.begin(), text.end());
        m_frames.Send(answer);
        return true;
    }

    void OnHeader(const Bytes& message)
    {
        const bool startOver = message[1] != 0;
        const unsigned long long size = GetNumber(message, 2);
        const long long modified = static_cast<long long>(GetNumber(message, 10));
        Sha256::Digest hash;
        std::copy(message.begin() + 18, message.begin() + 50, hash.begin());
        const std::string name(message.begin() + 50, message.end());
        if (name != m_name || (!m_open && m_last.empty())) {
            if (m_open)
                Stop("the sender went on to the next file before the end of this one");
            m_last.clear();
            m_name = name;
            m_size = size;
            m_modified = modified;
            m_hash = hash;
            ++m_files;
            m_reporter.FileStarted(name, size);
            std::string why;
            if (!m_sink.Begin(name, why)) {
                Refuse(why);
                return;
            }
            m_open = true;
            if (m_sink.Offset() > size && !m_sink.Restart(why)) {
                Refuse(why);
                return;
            }
            if (!HashPrefix()) {
                Refuse("cannot read back the partial file");
                return;
            }
        }
        // The same header again: the answer to it was lost.
        if (!m_open) {
            m_frames.Send(m_last);
            return;
        }
        if (startOver) {
            std::string why;
            if (!m_sink.Restart(why)) {
                Refuse(why);
                return;
            }
            m_running.Reset();
        }
        Bytes answer{'R'};
        PutNumber(answer, m_sink.Offset());
        Sha256 prefix = m_running;
        const Sha256::Digest digest = prefix.Finish();
        answer.insert(answer.end(), digest.begin(), digest.end());
        m_reporter.Progress(m_sink.Offset());
        m_frames.Send(answer);
    }

    bool HashPrefix()
    {
        m_running.Reset();
        BYTE buffer[65536];
        for (unsigned long long at = 0; at < m_sink.Offset();) {
            const std::size_t got = m_sink.ReadBack(at, buffer, sizeof buffer);
            if (got == 0)
                return false;
            m_running.Update(buffer, got);
            at += got;
        }
        return true;
    }

    void OnData(unsigned long long offset, const BYTE* data, std::size_t size)
    {
        if (!m_open) {
            if (!m_last.empty())
                m_frames.Send(m_last);
            else
                Answer({'X'}, "no file is open");
            return;
        }
        // Only the next bytes are written; a repeated or early frame is
        // answered with the offset wanted.
        if (offset == m_sink.Offset() && m_sink.Offset() + size <= m_size) {
            std::string why;
            if (!m_sink.Write(data, size, why)) {
                m_sink.Abandon(true);
                m_open = false;
                Refuse(why);
                return;
            }
            m_running.Update(data, size);
            m_reporter.Progress(m_sink.Offset());
        }
        Bytes answer{'A'};
        PutNumber(answer, m_sink.Offset());
        m_frames.Send(answer);
    }

    void OnEnd()
    {
        if (!m_open) {
            // The answer to an end frame sent twice, or to a refused file.
            if (!m_last.empty())
                m_frames.Send(m_last);
            else
                Answer({'X'}, "no file is open");
            return;
        }
        m_open = false;
        XferFileResult result{m_name, m_sink.FinalPath(), m_size, false, {}};
        const unsigned long long arrived = m_sink.Offset();
        const Sha256::Digest digest = m_running.Finish();
        std::string why;
        if (arrived != m_size) {
            why = std::to_string(arrived) + " bytes arrived, the sender announced " + std::to_string(m_size);
            m_sink.Abandon(false);
        } else if (digest != m_hash) {
            // The partial file is wrong somewhere: nothing of it is kept.
            why = "the SHA-256 of what arrived (" + Hex(digest) + ") is not the sender's (" + Hex(m_hash) + ")";
            m_sink.Abandon(false);
        } else if (m_sink.Commit(m_size, m_modified, why)) {
            result.complete = true;
        }
        if (result.complete) {
            m_last = {'K'};
        } else {
            result.error = m_name + ": " + why;
            m_allWhole = false;
            m_error = result.error;
            m_last = {'X'};
            m_last.insert(m_last.end(), why.begin(), why.end());
        }
        m_reporter.FileDone(result);
        m_frames.Send(m_last);
    }

    void Refuse(const std::string& why)
    {
        if (m_open)
            m_sink.Abandon(true);
        m_open = false;
        m_allWhole = false;
        XferFileResult result{m_name, {}, m_size, false, m_name + ": " + why};
        m_error = result.error;
        m_reporter.FileDone(result);
        m_last = {'X'};
        m_last.insert(m_last.end(), why.begin(), why.end());
        m_frames.Send(m_last);
    }

    bool Stop(const std::string& why)
    {
        if (m_open) {
            m_sink.Abandon(true);
            m_open = false;
            XferFileResult result{m_name, {}, m_size, false, m_name + ": " + why};
            m_reporter.FileDone(result);
        }
        m_error = why;
        m_allWhole = false;
        return false;
    }

    FrameLink m_frames;
    Reporter& m_reporter;
    FileSink m_sink;
    std::string& m_error;
    bool m_open = false;
    bool m_allWhole = true;
    unsigned m_files = 0;
    std::string m_name;
    unsigned long long m_size = 0;
    long long m_modified = 0;
    Sha256::Digest m_hash{};
    Sha256 m_running;
    Bytes m_last;  // the answer that closed the last file, for a repeated frame
};

}  // namespace

bool SendPacketFiles(Link& link, Reporter& reporter, const Job& job, std::string& error)
{
    return Sender(link, reporter, error).Run(job.files);
}

bool ReceivePacketFiles(Link& link, Reporter& reporter, const Job& job, std::string& error)
{
    return Receiver(link, reporter, job, error).Run();
}

}  // namespace tavrin::transfer
