#include "ScriptLine.h"

#include <cstring>
#include <vector>

namespace {

constexpr DWORD kPauseMs = 500;
constexpr int kDefaultWaitMs = 60000;
constexpr int kDefaultStepMs = 5000;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Numbers accumulate in 32 bits and wrap on overflow, as two's complement
// arithmetic does, so that any digit string gives a defined result; for
// ordinary numbers this is plain decimal.
std::uint32_t Wrapping(std::uint32_t value, char digit)
{
    return value * 10u + static_cast<std::uint32_t>(digit - '0');
}

std::int32_t ToSigned(std::uint32_t value)
{
    return static_cast<std::int32_t>(value);
}

std::int32_t NegateWrapping(std::int32_t value)
{
    return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(value));
}

class LineWriter {
public:
    LineWriter(const CString& line, CDevice* device)
        : m_bytes(line.str().begin(), line.str().end()), m_n(static_cast<int>(m_bytes.size())), m_device(device)
    {
    }

    void Run(CString* pExpected, CString* pRepeat, int* pStep, int* pWait)
    {
        for (m_i = 0; m_i < m_n; ++m_i) {
            if (!m_device->IsConnected())
                return;
            switch (At(m_i)) {
            case '\r':
            case '\n':
                Flush();
                m_p = m_i + 1;
                break;
            case '\\':
                Flush();
                Backslash();
                break;
            case '~':
                Flush();
                Sleep(kPauseMs);
                m_p = m_i + 1;
                break;
            case '^':
                Flush();
                Caret();
                break;
            case '`':
                Flush();
                m_p = m_i + 1;
                m_device->SendBreak();
                break;
            case '%':
                Flush();
                Percent();
                break;
            case '@':
                Flush();
                AtSign(pExpected, pRepeat, pStep, pWait);
                break;
            default:
                break;
            }
        }
        if (m_p < m_n && m_device->IsConnected())
            WriteBytes(m_p, m_n - m_p);
    }

private:
    char At(int i) const { return static_cast<char>(m_bytes[static_cast<size_t>(i)]); }

    void WriteBytes(int from, int count)
    {
        m_device->Write(m_bytes.data() + from, static_cast<DWORD>(count));
    }

    void WriteByte(BYTE value)
    {
        m_device->Write(&value, 1);
    }

    void Flush()
    {
        if (m_i > m_p)
            WriteBytes(m_p, m_i - m_p);
    }

    void Backslash()
    {
        if (m_i == m_n - 1) {
            m_p = m_n;
            return;
        }
        const char x = At(++m_i);
        const bool literal = x != '\0' && std::strchr("\\~^%`@", x) != nullptr;
        WriteByte(literal ? static_cast<BYTE>(x) : static_cast<BYTE>(x & 0x1F));
        m_p = m_i + 1;
    }

    void Caret()
    {
        unsigned value = 0;
        for (int digits = 0; digits < 3 && m_i + 1 < m_n && IsDigit(At(m_i + 1)); ++digits)
            value = (value * 10 + static_cast<unsigned>(At(++m_i) - '0')) % 256;
        WriteByte(static_cast<BYTE>(value));
        m_p = m_i + 1;
    }

    // Reads the digits at m_i, leaving m_i on the first character after them.
    std::int32_t ReadNumber()
    {
        std::uint32_t value = 0;
        while (m_i < m_n && IsDigit(At(m_i)))
            value = Wrapping(value, At(m_i++));
        return ToSigned(value);
    }

    int FindHash(int from) const
    {
        for (int j = from; j < m_n; ++j)
            if (At(j) == '#')
                return j;
        return m_n;
    }

    CString Text(int from, int to) const
    {
        return CString(reinterpret_cast<const char*>(m_bytes.data()) + from, to - from);
    }

    void Percent()
    {
        if (m_i == m_n - 1) {
            m_p = m_i + 1;
            return;
        }
        ++m_i;
        bool minus = false;
        if (At(m_i) == '-') {
            minus = true;
            ++m_i;
        }
        std::int32_t number = ReadNumber();
        if (number < 0)
            number = NegateWrapping(number);
        if (minus)
            number = NegateWrapping(number);
        if (m_i >= m_n) {
            // The line ends right after the digits: the escape is dropped.
            m_p = m_n;
            return;
        }
        CString value;
        if (At(m_i) == '>') {
            const int hash = FindHash(m_i);
            value = Text(m_i, hash);
            m_i = hash;
        } else {
            value = CString(At(m_i), 1);
        }
        m_device->SendNotify(m_device->GetMessageA(DEVMSG_SCRIPT_VALUE), static_cast<UINT>(number),
                             reinterpret_cast<LPARAM>(&value));
        if (!value.IsEmpty())
            m_device->Write(reinterpret_cast<BYTE*>(value.GetBuffer(0)), static_cast<DWORD>(value.GetLength()));
        m_p = m_i + 1;
    }

    // After "#": stores the text up to the next "#" (or the end) when it is
    // not empty, and leaves m_i on that closing "#".
    void HashText(CString* out)
    {
        ++m_i;
        const int hash = FindHash(m_i);
        CString text = Text(m_i, hash);
        if (out && !text.IsEmpty())
            *out = text;
        m_i = hash;
    }

    void AtSign(CString* pExpected, CString* pRepeat, int* pStep, int* pWait)
    {
        if (m_i < m_n - 1) {
            ++m_i;
            std::int32_t wait = ToSigned(static_cast<std::uint32_t>(ReadNumber()) * 1000u);
            if (wait == 0)
                wait = kDefaultWaitMs;
            if (pWait)
                *pWait = wait;
            if (m_i < m_n && At(m_i) == '#') {
                HashText(pExpected);
                if (m_i + 1 < m_n && At(m_i + 1) == '@') {
                    m_i += 2;
                    std::int32_t step = ToSigned(static_cast<std::uint32_t>(ReadNumber()) * 1000u);
                    if (step == 0)
                        step = kDefaultStepMs;
                    if (pStep)
                        *pStep = step;
                    if (m_i < m_n && At(m_i) == '#')
                        HashText(pRepeat);
                }
            }
        }
        m_device->SendNotify(m_device->GetMessageA(DEVMSG_SCRIPT_WAIT), 0, 0);
        m_p = m_i + 1;
    }

    std::vector<BYTE> m_bytes;
    int m_n;
    CDevice* m_device;
    int m_i = 0;  // the character being looked at
    int m_p = 0;  // the first character not yet written
};

}  // namespace

void ExecuteScriptLine(const CString& strLine, CDevice* pDevice, CString* pExpected, CString* pRepeat, int* pStep,
                       int* pWait)
{
    if (strLine.IsEmpty() || !pDevice)
        return;
    LineWriter(strLine, pDevice).Run(pExpected, pRepeat, pStep, pWait);
}
