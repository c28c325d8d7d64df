// The packet-link worker: while packet mode is on it takes the incoming
// bytes out of the data stream, assembles and checks frames, hands good
// payloads to the host and writes the answer the host chooses; it sends
// the host's packets and waits for the peer's answers.
#include <array>
#include <cstring>

#include "Packet.h"
#include "../core/DeviceEngine.h"
#include "WorkerLoop.h"

namespace tavrin::engine {
namespace {

bool IsDigit(BYTE b)
{
    return b >= '0' && b <= '9';
}

bool IsCancel(BYTE b)
{
    return b == PACKET_CAN || b == PACKET_EM;
}

class PacketWorker final : public WorkerLoop {
public:
    using WorkerLoop::WorkerLoop;

private:
    CDevice* Owner() const { return m_slot.pOwner; }
    DWORD Mode() const { return tavrin::detail::DeviceEngine::Mode(*Owner()); }

    void OnScan() override
    {
        const BYTE* data = m_slot.pData;
        const DWORD length = m_slot.dwDataLength;
        if (!data || length == 0)
            return;
        DWORD start = 0;
        if (!(Mode() & MODE_PACKET)) {
            if (tavrin::detail::DeviceEngine::Transparent(*Owner()))
                return;
            // Every block of plain data is searched whole on the receiving
            // thread: the library's search is several bytes a step.
            const void* soh = std::memchr(data, PACKET_SOH, length);
            if (!soh)
                return;
            start = static_cast<DWORD>(static_cast<const BYTE*>(soh) - data);
        }
        DWORD end = start;
        while (end < length && !IsCancel(data[end]))
            ++end;
        m_slot.dwMatchStart = start;
        m_slot.dwMatchEnd = end < length ? end + 1 : length;
    }

    void OnDeliver() override
    {
        if (!m_slot.pData || m_slot.dwDataLength == 0)
            return;
        // Outside packet mode a frame start and what follows it up to a
        // cancel byte is taken out of the data and dropped.
        if (!(Mode() & MODE_PACKET)) {
            m_state = PACKET_STATE_IDLE;
            return;
        }
        Parse(m_slot.pData, m_slot.dwDataLength);
    }

    // Outside packet mode a delivery only drops the stray frame. One that
    // would start the poll is left to the worker, whose wait must then
    // take a time-out again.
    bool DeliverQuietly() override
    {
        const DWORD mode = Mode();
        if ((mode & MODE_PACKET) || ((mode & MODE_PACKET_POLL) && m_state != PACKET_STATE_IDLE))
            return false;
        m_state = PACKET_STATE_IDLE;
        return true;
    }

    void OnExamineCommand() override
    {
        // In packet mode every command text is taken, and discarded.
        if (Mode() & MODE_PACKET)
            m_slot.bCommandClaimed = TRUE;
    }

    bool Polls() const
    {
        return (Mode() & MODE_PACKET_POLL) && (m_state == PACKET_STATE_IDLE || m_state == PACKET_STATE_AWAIT_FRAME);
    }

    // The poll is this worker's only timed work: an answer awaited after a
    // packet has no time limit.
    bool TickHasWork() const override { return Polls(); }

    void OnTimeout() override
    {
        if (Polls())
            WriteByte(PACKET_ACK);
        m_slot.pIdle->SetEvent();
    }

    void WriteByte(BYTE b) { Owner()->Write(&b, 1); }

    void EndLink()
    {
        Owner()->ChangeMode(MODE_PACKET_ENDED);
    }

    void Cancelled()
    {
        EndLink();
        Owner()->SendNotify(Owner()->GetMessageA(DEVMSG_PACKET_CANCEL), 0, 0);
    }

    // A framing error: one NAK, and the next frame is awaited.
    void Reject()
    {
        WriteByte(PACKET_NAK);
        m_state = PACKET_STATE_AWAIT_FRAME;
    }

    void Send(bool fetch)
    {
        m_state = SendPacket(Owner(), m_tx.data(), &m_dwTxLength, fetch ? TRUE : FALSE);
    }

    // Runs the region through the protocol's steps, one step per state;
    // each consumes what it can and returns false where the rest of the
    // region is dropped.
    void Parse(const BYTE* data, DWORD n)
    {
        DWORD i = 0;
        bool goOn = true;
        while (goOn && i < n) {
            switch (m_state) {
            case PACKET_STATE_IDLE:
                goOn = AwaitLinkStart(data, n, i);
                break;
            case PACKET_STATE_AWAIT_FRAME:
                goOn = AwaitFrame(data, n, i);
                break;
            case PACKET_STATE_LENGTH:
                goOn = ReadLengthField(data, n, i);
                break;
            case PACKET_STATE_PAYLOAD:
                goOn = CollectPayload(data, n, i);
                break;
            case PACKET_STATE_CHECKSUM:
                goOn = ReadChecksumField(data, n, i);
                break;
            case PACKET_STATE_AWAIT_ANSWER:
                goOn = AwaitAnswer(data, n, i);
                break;
            default:
                m_state = PACKET_STATE_IDLE;
                break;
            }
        }
    }

    // Idle: an ENQ opens the link for the peer's frame; a SOH starts one.
    bool AwaitLinkStart(const BYTE* data, DWORD n, DWORD& i)
    {
        while (i < n) {
            const BYTE b = data[i++];
            if (b == PACKET_ENQ) {
                m_state = PACKET_STATE_AWAIT_FRAME;
                return true;
            }
            if (b == PACKET_SOH) {
                StartFrame();
                return true;
            }
            if (b == PACKET_ACK)
                return true;
        }
        return true;
    }

    // Awaiting a frame: a SOH starts it; CAN or EM ends the link.
    bool AwaitFrame(const BYTE* data, DWORD n, DWORD& i)
    {
        while (i < n) {
            const BYTE b = data[i++];
            if (b == PACKET_SOH) {
                StartFrame();
                return true;
            }
            if (IsCancel(b)) {
                m_state = PACKET_STATE_IDLE;
                Cancelled();
                return true;
            }
        }
        return true;
    }

    // The decimal payload length up to STX.
    bool ReadLengthField(const BYTE* data, DWORD n, DWORD& i)
    {
        while (i < n && IsDigit(data[i]))
            m_dwDeclared = m_dwDeclared * 10 + static_cast<DWORD>(data[i++] - '0');
        if (i == n)
            return true;
        if (data[i] != PACKET_STX || m_dwDeclared > PACKET_MAX_PAYLOAD) {
            Reject();
            return false;
        }
        ++i;
        m_dwCollected = 0;
        m_dwSum = 0;
        m_state = PACKET_STATE_PAYLOAD;
        return true;
    }

    // The declared number of payload bytes, summed, then ETX.
    bool CollectPayload(const BYTE* data, DWORD n, DWORD& i)
    {
        while (i < n && m_dwCollected < m_dwDeclared) {
            const BYTE b = data[i];
            // An ETX before the declared count is a framing error like any
            // other.
            if (b == PACKET_ETX) {
                Reject();
                return false;
            }
            m_dwSum += b;
            m_rx[m_dwCollected++] = b;
            ++i;
        }
        if (i == n)
            return true;
        if (data[i] != PACKET_ETX) {
            Reject();
            return false;
        }
        ++i;
        m_dwReceivedSum = 0;
        m_state = PACKET_STATE_CHECKSUM;
        return true;
    }

    // The decimal byte sum up to EOT; a matching frame goes to the host.
    bool ReadChecksumField(const BYTE* data, DWORD n, DWORD& i)
    {
        while (i < n && IsDigit(data[i]))
            m_dwReceivedSum = m_dwReceivedSum * 10 + static_cast<DWORD>(data[i++] - '0');
        if (i == n)
            return true;
        if (data[i] != PACKET_EOT || m_dwReceivedSum != m_dwSum) {
            Reject();
            return false;
        }
        ++i;
        return Deliver();
    }

    // Our packet is out: the peer's answer decides what follows.
    bool AwaitAnswer(const BYTE* data, DWORD n, DWORD& i)
    {
        while (i < n && m_state == PACKET_STATE_AWAIT_ANSWER) {
            const BYTE b = data[i++];
            if (b == PACKET_ENQ) {
                m_state = PACKET_STATE_AWAIT_FRAME;
                SkipOneByte(n, i);
            } else if (b == PACKET_ACK) {
                Send(true);
                // Swallows the second ACK of a peer that acknowledges twice.
                SkipOneByte(n, i);
            } else if (b == PACKET_NAK) {
                Send(false);
                return false;
            } else if (b == PACKET_CAN) {
                m_state = PACKET_STATE_IDLE;
                Cancelled();
                return false;
            }
        }
        return true;
    }

    static void SkipOneByte(DWORD n, DWORD& i)
    {
        if (i < n)
            ++i;
    }

    void StartFrame()
    {
        m_dwDeclared = 0;
        m_state = PACKET_STATE_LENGTH;
    }

    DWORD DecodeInPlace()
    {
        DWORD out = 0;
        for (DWORD k = 0; k < m_dwDeclared; ++k) {
            if (m_rx[k] == PACKET_BEL && k + 1 < m_dwDeclared)
                m_rx[out++] = static_cast<BYTE>(m_rx[++k] ^ 0x80);
            else
                m_rx[out++] = m_rx[k];
        }
        return out;
    }

    // Hands a good packet to the host and acts on its answer; false when the
    // rest of the region is to be dropped.
    bool Deliver()
    {
        const DWORD length = DecodeInPlace();
        const LRESULT result = Owner()->SendNotify(Owner()->GetMessageA(DEVMSG_PACKET), length,
                                                   reinterpret_cast<LPARAM>(m_rx.data()));
        const BYTE answer = static_cast<BYTE>(result & 0xFF);
        switch (answer) {
        case PACKET_ACK:
            WriteByte(PACKET_ACK);
            if (Mode() & MODE_PACKET_POLL) {
                WriteByte(PACKET_ACK);
                m_state = PACKET_STATE_IDLE;
            } else {
                m_state = PACKET_STATE_AWAIT_FRAME;
            }
            return true;
        case PACKET_ENQ:
            WriteByte(PACKET_ACK);
            Send(true);
            return true;
        case PACKET_CAN:
            EndLink();
            m_state = PACKET_STATE_IDLE;
            return false;
        default:
            WriteByte(answer);
            m_state = PACKET_STATE_IDLE;
            return true;
        }
    }

    int m_state = PACKET_STATE_IDLE;
    DWORD m_dwDeclared = 0;
    DWORD m_dwCollected = 0;
    DWORD m_dwSum = 0;
    DWORD m_dwReceivedSum = 0;
    std::array<BYTE, PACKET_MAX_PAYLOAD> m_rx{};
    std::array<BYTE, PACKET_MAX_PAYLOAD> m_tx{};
    DWORD m_dwTxLength = 0;
};

}  // namespace
}  // namespace tavrin::engine

DWORD WINAPI PacketThreadProc(LPVOID pSlot)
{
    return tavrin::engine::RunWorker<tavrin::engine::PacketWorker>(pSlot);
}
