// Fuzz target: registry export files. The input is loaded as an 8-bit file
// and, when its first byte is odd, once more with every byte widened to a
// UTF-16LE character behind a byte-order mark, which must load to the same
// tree or fail with the same message. Whatever loaded is walked through the
// calls a host makes: every enumerated subkey opens, names come in the
// registry's order without case-insensitive duplicates, and a value's size
// asked with no buffer is the size a read copies. A failed load leaves the
// tree it replaced and names a line of the file.
#include <tavrin/Tavrin.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxInput = 64 * 1024;
const char* const kName = "fuzz.reg";

[[noreturn]] void Fail()
{
    std::abort();
}

unsigned char Fold(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<unsigned char>(c - 0x20);
    return c;
}

bool FoldedLess(const std::string& a, const std::string& b)
{
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (Fold(a[i]) != Fold(b[i]))
            return Fold(a[i]) < Fold(b[i]);
    return a.size() < b.size();
}

// Value names worth asking for: what stands between quotes in the input,
// taken as it is (escapes and all), and the default value.
std::vector<std::string> CandidateNames(const std::string& text)
{
    std::vector<std::string> names{""};
    for (size_t at = text.find('"'); at != std::string::npos && names.size() < 16;) {
        const size_t end = text.find('"', at + 1);
        if (end == std::string::npos)
            break;
        names.push_back(text.substr(at + 1, end - at - 1));
        at = text.find('"', end + 1);
    }
    return names;
}

void CheckValue(HKEY key, const std::string& name, std::string& signature)
{
    DWORD type = 0, size = 0;
    const LONG result = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
    if (result == ERROR_FILE_NOT_FOUND)
        return;
    if (result != ERROR_SUCCESS || size > kMaxInput)
        Fail();
    std::vector<BYTE> data(size + 1, 0xA5);
    DWORD copied = size;
    DWORD copiedType = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &copiedType, data.data(), &copied) != ERROR_SUCCESS ||
        copied != size || copiedType != type || data[size] != 0xA5)
        Fail();
    if (size > 0) {
        std::vector<BYTE> small(size, 0x5A);
        DWORD smallSize = size - 1;
        if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, small.data(), &smallSize) != ERROR_MORE_DATA ||
            smallSize != size)
            Fail();
        for (BYTE b : small)
            if (b != 0x5A)
                Fail();
    }
    signature += "=" + std::to_string(type) + ":" + std::string(data.begin(), data.begin() + size) + "\n";
}

// Walks the subtree of key, closing every handle it opens.
void Walk(HKEY key, const std::vector<std::string>& names, int depth, std::string& signature)
{
    if (depth > 600)
        Fail();  // deeper than any file may make it
    for (const std::string& name : names)
        CheckValue(key, name, signature);
    std::string previous;
    char name[256];
    for (DWORD i = 0;; ++i) {
        const LONG result = RegEnumKeyA(key, i, name, sizeof name);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            Fail();  // 255 characters at most, and they fit
        const std::string current = name;
        if (i > 0 && !FoldedLess(previous, current))
            Fail();
        previous = current;
        HKEY child = nullptr;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS)
            Fail();
        signature += std::to_string(depth) + "[" + current + "]\n";
        Walk(child, names, depth + 1, signature);
        if (RegCloseKey(child) != ERROR_SUCCESS)
            Fail();
    }
}

std::string WalkAll(const std::vector<std::string>& names)
{
    std::string signature;
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG}) {
        signature += "root\n";
        Walk(root, names, 0, signature);
    }
    return signature;
}

// A tree no input can leave in place, to tell a kept tree from a new one.
void LoadSentinel()
{
    if (!tavrin::LoadRegistryText("REGEDIT4\n[HKEY_USERS\\Sentinel]\n", "sentinel.reg"))
        Fail();
}

bool SentinelThere()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_USERS, "Sentinel", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

struct Outcome {
    bool loaded = false;
    std::string error;
    std::string signature;
};

Outcome LoadAndWalk(const std::string& text, size_t lines, const std::vector<std::string>& names)
{
    LoadSentinel();
    Outcome outcome;
    outcome.loaded = tavrin::LoadRegistryText(text, kName, &outcome.error);
    if (tavrin::RegistryLoadError() != outcome.error)
        Fail();
    if (outcome.loaded) {
        if (!outcome.error.empty())
            Fail();
        outcome.signature = WalkAll(names);
        return outcome;
    }
    // "fuzz.reg:LINE: what", LINE within the file.
    const size_t prefix = std::strlen(kName);
    if (outcome.error.compare(0, prefix + 1, std::string(kName) + ":") != 0)
        Fail();
    size_t line = 0, at = prefix + 1;
    while (at < outcome.error.size() && outcome.error[at] >= '0' && outcome.error[at] <= '9' && line <= lines)
        line = line * 10 + static_cast<size_t>(outcome.error[at++] - '0');
    if (line < 1 || line > lines || outcome.error.compare(at, 2, ": ") != 0 || outcome.error.size() == at + 2)
        Fail();
    if (!SentinelThere())
        Fail();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size > kMaxInput)
        size = kMaxInput;
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t lines = 1;
    for (char c : text)
        lines += c == '\n';
    const std::vector<std::string> names = CandidateNames(text);
    const Outcome narrow = LoadAndWalk(text, lines, names);

    // Widened, the same text must give the same answer; inputs that carry a
    // byte-order mark of their own are read differently as 8-bit text.
    const bool marked = (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) ||
                        (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF);
    if (size > 0 && (data[0] & 1) != 0 && !marked) {
        std::string wide = "\xFF\xFE";
        for (char c : text) {
            wide += c;
            wide += '\0';
        }
        const Outcome widened = LoadAndWalk(wide, lines, names);
        if (widened.loaded != narrow.loaded || widened.error != narrow.error || widened.signature != narrow.signature)
            Fail();
    }
    return 0;
}
