#include "TerminalIo.h"

#include <cstring>
#include <vector>

namespace tavrin::tool {

bool SendLines(const Sender& send, std::string& pending)
{
    size_t start = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
        const bool lineEnd = pending[i] == '\n' || (pending[i] == '\r' && (i + 1 == pending.size() || pending[i + 1] != '\n'));
        if (!lineEnd)
            continue;
        if (!send(pending.data() + start, i + 1 - start))
            return false;
        start = i + 1;
    }
    pending.erase(0, start);
    return true;
}

EndReason PumpInput(const Sender& send, bool rawKeys, const StopSignal& stop, const Notify& notify,
                    const EscapeCommand& command)
{
    std::string pending;
    // The escape key was the last key of a read: the command key is the
    // first of the next.
    bool escaped = false;
    std::vector<char> buffer(4096);
    for (;;) {
        std::string error;
        const long count = ReadStdin(stop, rawKeys, buffer.data(), buffer.size(), error);
        if (count == kReadStopped)
            return EndReason::Stopped;
        if (count == kReadFailed) {
            notify(error);
            return EndReason::InputFailed;
        }
        if (count == 0) {
            if (!pending.empty() && !send(pending.data(), pending.size()))
                return EndReason::WriteFailed;
            return EndReason::EndOfInput;
        }
        if (rawKeys && command) {
            const char* keys = buffer.data();
            const char* end = keys + count;
            while (keys != end) {
                if (escaped) {
                    escaped = false;
                    const char key = *keys++;
                    if (key == kEscapeKey) {
                        if (!send(&key, 1))
                            return EndReason::WriteFailed;
                    } else if (!command(key)) {
                        return EndReason::EscapeKey;
                    }
                    continue;
                }
                const char* escape = static_cast<const char*>(std::memchr(keys, kEscapeKey, static_cast<size_t>(end - keys)));
                const char* upTo = escape != nullptr ? escape : end;
                if (upTo != keys && !send(keys, static_cast<size_t>(upTo - keys)))
                    return EndReason::WriteFailed;
                keys = upTo;
                if (escape != nullptr) {
                    escaped = true;
                    ++keys;
                }
            }
            continue;
        }
        if (rawKeys) {
            const void* escape = std::memchr(buffer.data(), kEscapeKey, static_cast<size_t>(count));
            const size_t keys = escape != nullptr ? static_cast<size_t>(static_cast<const char*>(escape) - buffer.data())
                                                  : static_cast<size_t>(count);
            if (keys != 0 && !send(buffer.data(), keys))
                return EndReason::WriteFailed;
            if (escape != nullptr)
                return EndReason::EscapeKey;
            continue;
        }
        pending.append(buffer.data(), static_cast<size_t>(count));
        if (!SendLines(send, pending))
            return EndReason::WriteFailed;
    }
}

}  // namespace tavrin::tool
