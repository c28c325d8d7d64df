// The command-script worker: runs the command texts handed over by WriteEx
// line by line, and while a line waits for an answer takes the incoming
// bytes up to the end of that answer out of the data stream.
#include "ScriptLine.h"
#include "WorkerLoop.h"

namespace tavrin::engine {
namespace {

constexpr DWORD kIdleTimeoutMs = 1000;

class ScriptWorker final : public WorkerLoop {
public:
    explicit ScriptWorker(WorkerSlot& slot) : WorkerLoop(slot), m_lstScript(10) {}

private:
    bool IsWaiting() const { return m_nWaitLeft != 0; }
    bool TakesCommands() const { return m_strExpected.IsEmpty() || !IsWaiting(); }
    CDevice* Owner() const { return m_slot.pOwner; }

    DWORD WaitTimeout() const override { return m_dwWaitTimeout; }
    // A wait's steps and end, the next line after an answer, and the final
    // progress notice all come with a tick.
    bool TickHasWork() const override { return IsWaiting() || !m_lstScript.IsEmpty() || m_bLinesSplit; }

    void OnScan() override
    {
        if (m_strExpected.IsEmpty() || !IsWaiting() || !m_slot.pData || m_slot.dwDataLength == 0)
            return;
        const int length = m_strExpected.GetLength();
        DWORD walked = 0;
        for (; walked < m_slot.dwDataLength; ++walked) {
            if (m_nMatched >= length)
                break;
            const char byte = static_cast<char>(m_slot.pData[walked]);
            if (byte == m_strExpected[m_nMatched])
                ++m_nMatched;
            else if (m_nMatched != 0)
                m_nMatched = byte == m_strExpected[0] ? 1 : 0;
        }
        // Everything up to the byte that completed the answer, or the whole
        // block while it is incomplete, is the script's and not the host's.
        m_slot.dwMatchStart = 0;
        m_slot.dwMatchEnd = walked;
    }

    void OnDeliver() override
    {
        if (!AnswerComplete())
            return;
        EndWait();
        Owner()->SendNotify(Owner()->GetMessageA(DEVMSG_SCRIPT_WAIT), 2, 0);
    }

    // Only the delivery that completes the answer has anything to say.
    bool DeliverQuietly() override { return !AnswerComplete(); }
    bool AnswerComplete() const
    {
        return !m_strExpected.IsEmpty() && IsWaiting() && m_slot.pData && m_slot.dwDataLength != 0 &&
               m_nMatched >= m_strExpected.GetLength();
    }

    void OnExamineCommand() override
    {
        if (TakesCommands())
            m_slot.bCommandClaimed = TRUE;
    }

    void OnRunCommand() override
    {
        if (TakesCommands() && m_slot.pszCommand && m_slot.dwCommandLength != 0)
            m_lstScript.AddTail(CString(m_slot.pszCommand, static_cast<int>(m_slot.dwCommandLength)));
        // Answer first: WriteEx returns while the script runs.
        m_slot.pCommandDone->SetEvent();
        RunList();
    }

    void OnTimeout() override
    {
        if (!IsWaiting()) {
            RunList();
        } else if (m_nStep == 0) {
            Expire();
        } else {
            // Wrapping, like the numbers of the script it came from.
            m_nWaitLeft = static_cast<int>(static_cast<std::uint32_t>(m_nWaitLeft) -
                                           static_cast<std::uint32_t>(m_nStep));
            if (m_nWaitLeft > 0)
                ExecuteScriptLine(m_strRepeat, Owner(), nullptr, nullptr, nullptr, nullptr);
            else
                Expire();
        }
    }

    void EndWait()
    {
        m_strExpected.Empty();
        m_strRepeat.Empty();
        m_nStep = 0;
        m_nWaitLeft = 0;
        m_nMatched = 0;
        m_dwWaitTimeout = kIdleTimeoutMs;
    }

    // An answer that does not come in time abandons the rest of the script.
    void Expire()
    {
        EndWait();
        Owner()->SendNotify(Owner()->GetMessageA(DEVMSG_SCRIPT_WAIT), 1, 0);
        m_lstScript.RemoveAll();
    }

    void RunList()
    {
        if (m_lstScript.IsEmpty()) {
            m_slot.pIdle->SetEvent();
            if (m_bLinesSplit)
                Owner()->PostNotify(Owner()->GetMessageA(DEVMSG_SCRIPT_PROGRESS), 0, 0);
            m_bLinesSplit = FALSE;
            return;
        }
        while (!IsWaiting()) {
            CString text = m_lstScript.RemoveHead();
            const int split = text.Find("\r\n");
            if (split >= 0) {
                CString rest = text.Mid(split + 2);
                if (!rest.IsEmpty())
                    m_lstScript.AddHead(rest);
                text = text.Left(split);
                Owner()->PostNotify(Owner()->GetMessageA(DEVMSG_SCRIPT_PROGRESS), 1, 0);
                m_bLinesSplit = TRUE;
            }
            ExecuteScriptLine(text, Owner(), &m_strExpected, &m_strRepeat, &m_nStep, &m_nWaitLeft);
            if (m_nStep != 0)
                m_dwWaitTimeout = static_cast<DWORD>(m_nStep);
            else if (m_nWaitLeft != 0)
                m_dwWaitTimeout = static_cast<DWORD>(m_nWaitLeft);
            if (m_lstScript.IsEmpty())
                break;
        }
    }

    CStringList m_lstScript;
    CString m_strExpected;
    CString m_strRepeat;
    int m_nWaitLeft = 0;
    int m_nStep = 0;
    int m_nMatched = 0;
    DWORD m_dwWaitTimeout = kIdleTimeoutMs;
    BOOL m_bLinesSplit = FALSE;
};

}  // namespace
}  // namespace tavrin::engine

DWORD WINAPI ScriptThreadProc(LPVOID pSlot)
{
    return tavrin::engine::RunWorker<tavrin::engine::ScriptWorker>(pSlot);
}
