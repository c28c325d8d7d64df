// The reader of registry export files: REGEDIT4 (8-bit text) and
// "Windows Registry Editor Version 5.00" (UTF-16LE with a byte-order mark,
// or 8-bit text when a tool has converted it), as Windows' registry editor
// writes them.
#include "RegFile.h"

#include <cstring>

namespace tavrin::registry {
namespace {

unsigned char Fold(unsigned char c)
{
    if (c >= 'a' && c <= 'z')
        return static_cast<unsigned char>(c - 0x20);
    // Latin-1 lower-case letters; 0xF7 is the division sign and 0xFF has
    // no upper case within 8 bits.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<unsigned char>(c - 0x20);
    return c;
}

constexpr const char* kRootNames[kRootCount] = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_CONFIG",
};

bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s)
{
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s)
{
    while (!s.empty() && (IsSpace(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && CompareNames(s.substr(0, prefix.size()), prefix) == 0;
}

// A piece of the input for a message: short, and printable whatever the
// file holds.
std::string Snippet(std::string_view s)
{
    constexpr size_t kMax = 24;
    std::string out;
    for (size_t i = 0; i < s.size() && i < kMax; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    if (s.size() > kMax)
        out += "...";
    return out;
}

// UTF-16LE code units to 8-bit text, one byte per unit, '?' for units
// above 0xFF: the rule the settings archive uses for 16-bit strings.
std::string Narrow(std::string_view utf16)
{
    std::string out;
    out.reserve(utf16.size() / 2);
    for (size_t i = 0; i + 1 < utf16.size(); i += 2) {
        const unsigned unit = static_cast<unsigned char>(utf16[i]) | static_cast<unsigned char>(utf16[i + 1]) << 8;
        out += unit <= 0xFF ? static_cast<char>(unit) : '?';
    }
    return out;
}

bool IsStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

}  // namespace

int CompareNames(std::string_view a, std::string_view b)
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = Fold(static_cast<unsigned char>(a[i]));
        const unsigned char y = Fold(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

const Key* Key::Find(std::string_view name) const
{
    const auto it = subkeys.find(name);
    return it != subkeys.end() ? it->second.get() : nullptr;
}

int RootIndex(HKEY key)
{
    const HKEY roots[kRootCount] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                                    HKEY_CURRENT_CONFIG};
    for (size_t i = 0; i < kRootCount; ++i)
        if (key == roots[i])
            return static_cast<int>(i);
    return -1;
}

// One file's pass over the builder's tree.
class FileReader {
public:
    FileReader(TreeBuilder& builder, const std::string& name, std::string& error)
        : m_builder(builder), m_name(name), m_error(error)
    {
    }

    bool Read(std::string_view bytes);

private:
    enum class Section { none, open, deleted };

    bool Fail(size_t line, const std::string& what)
    {
        m_error = m_name + ":" + std::to_string(line) + ": " + what;
        return false;
    }

    bool NextLine(std::string_view& line);
    bool Entry(std::string_view entry, size_t line);
    bool KeyLine(std::string_view entry, size_t line);
    bool ValueLine(std::string_view entry, size_t line);
    bool ValueData(std::string_view data, size_t line, Value& value);
    // A quoted string from s[pos] (the opening quote) with its escapes
    // undone; pos ends after the closing quote. False when it never closes.
    static bool Quoted(std::string_view s, size_t& pos, std::string& out);

    TreeBuilder& m_builder;
    const std::string& m_name;
    std::string& m_error;
    std::string m_text;  // the file as 8-bit text
    size_t m_pos = 0;
    size_t m_lineNo = 0;
    bool m_version5 = false;
    Section m_section = Section::none;
    Key* m_key = nullptr;
};

bool FileReader::NextLine(std::string_view& line)
{
    if (m_pos >= m_text.size())
        return false;
    const size_t end = m_text.find('\n', m_pos);
    const size_t stop = end == std::string::npos ? m_text.size() : end;
    line = TrimRight(std::string_view(m_text).substr(m_pos, stop - m_pos));
    m_pos = end == std::string::npos ? m_text.size() : end + 1;
    ++m_lineNo;
    return true;
}

bool FileReader::Read(std::string_view bytes)
{
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        bytes.remove_prefix(2);
        m_text = Narrow(bytes);
        if (bytes.size() % 2 != 0) {
            // Count the lines to name the last one.
            size_t lines = 1;
            for (char c : m_text)
                lines += c == '\n';
            return Fail(lines, "UTF-16 text ends in half a character");
        }
    } else {
        if (bytes.size() >= 3 && std::memcmp(bytes.data(), "\xEF\xBB\xBF", 3) == 0)
            bytes.remove_prefix(3);
        m_text.assign(bytes);
    }

    std::string_view line;
    if (!NextLine(line))
        return Fail(1, "empty file, no REGEDIT4 or \"Windows Registry Editor Version 5.00\" header");
    if (line == "Windows Registry Editor Version 5.00")
        m_version5 = true;
    else if (line != "REGEDIT4")
        return Fail(1, "unknown header \"" + Snippet(line) +
                           "\", expected REGEDIT4 or \"Windows Registry Editor Version 5.00\"");

    while (NextLine(line)) {
        const size_t start = m_lineNo;
        line = TrimLeft(line);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.back() != '\\') {
            if (!Entry(line, start))
                return false;
            continue;
        }
        // regedit wraps long hex lists with a backslash and indents the
        // rest; the pieces join into one entry.
        std::string joined(line.substr(0, line.size() - 1));
        for (;;) {
            std::string_view next;
            if (!NextLine(next))
                return Fail(start, "the entry continues past the end of the file");
            next = TrimLeft(next);
            if (next.empty() || next.back() != '\\') {
                joined += next;
                break;
            }
            joined += next.substr(0, next.size() - 1);
        }
        if (!Entry(joined, start))
            return false;
    }
    return true;
}

bool FileReader::Entry(std::string_view entry, size_t line)
{
    if (entry.front() == '[')
        return KeyLine(entry, line);
    if (entry.front() == '"' || entry.front() == '@')
        return ValueLine(entry, line);
    return Fail(line, "neither a key, a value nor a comment: \"" + Snippet(entry) + "\"");
}

bool FileReader::KeyLine(std::string_view entry, size_t line)
{
    if (entry.size() < 2 || entry.back() != ']')
        return Fail(line, "key name without its closing ']'");
    std::string_view path = entry.substr(1, entry.size() - 2);
    const bool remove = !path.empty() && path.front() == '-';
    if (remove)
        path.remove_prefix(1);

    const size_t cut = path.find('\\');
    const std::string_view rootName = path.substr(0, cut);
    int root = -1;
    for (size_t i = 0; i < kRootCount; ++i)
        if (CompareNames(rootName, kRootNames[i]) == 0)
            root = static_cast<int>(i);
    if (root < 0)
        return Fail(line, "unknown root key \"" + Snippet(rootName) + "\"");
    path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
    if (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);

    std::vector<std::string_view> names;
    while (!path.empty()) {
        const size_t slash = path.find('\\');
        const std::string_view name = path.substr(0, slash);
        if (name.empty())
            return Fail(line, "empty key name in the path");
        if (name.size() > kMaxKeyName)
            return Fail(line, "key name longer than 255 characters");
        if (name.find('\0') != std::string_view::npos)
            return Fail(line, "key name with a zero byte");
        if (names.size() == kMaxDepth)
            return Fail(line, "key path deeper than 512 levels");
        names.push_back(name);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }

    Key* key = &m_builder.m_tree->roots[root];
    if (remove) {
        if (names.empty())
            return Fail(line, "a root key cannot be deleted");
        for (size_t i = 0; key != nullptr && i + 1 < names.size(); ++i) {
            const auto it = key->subkeys.find(names[i]);
            key = it != key->subkeys.end() ? it->second.get() : nullptr;
        }
        if (key != nullptr) {
            const auto it = key->subkeys.find(names.back());
            if (it != key->subkeys.end())
                key->subkeys.erase(it);
        }
        m_section = Section::deleted;
        m_key = nullptr;
        return true;
    }
    for (const std::string_view name : names) {
        auto it = key->subkeys.find(name);
        if (it == key->subkeys.end()) {
            if (++m_builder.m_entries > kMaxEntries)
                return Fail(line, "more than 2000000 keys and values");
            auto child = std::make_unique<Key>();
            child->name.assign(name);
            it = key->subkeys.emplace(child->name, std::move(child)).first;
        }
        key = it->second.get();
    }
    m_section = Section::open;
    m_key = key;
    return true;
}

bool FileReader::Quoted(std::string_view s, size_t& pos, std::string& out)
{
    // Only \\ and \" are escapes; any other backslash stands for itself
    // with the character after it, as regedit reads it.
    for (size_t i = pos + 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            pos = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out += s[++i];
            continue;
        }
        out += c;
    }
    return false;
}

bool FileReader::ValueLine(std::string_view entry, size_t line)
{
    if (m_section == Section::none)
        return Fail(line, "value before any key section");
    if (m_section == Section::deleted)
        return Fail(line, "value under a deleted key");

    std::string name;  // "" (from @ or "") is the default value
    size_t pos = 1;
    if (entry.front() == '"') {
        pos = 0;
        if (!Quoted(entry, pos, name))
            return Fail(line, "value name without its closing quote");
    }
    if (name.size() > kMaxValueName)
        return Fail(line, "value name longer than 16383 characters");
    while (pos < entry.size() && IsSpace(entry[pos]))
        ++pos;
    if (pos >= entry.size() || entry[pos] != '=')
        return Fail(line, "'=' expected after the value name");
    const std::string_view data = TrimLeft(entry.substr(pos + 1));

    if (data == "-") {
        const auto it = m_key->values.find(name);
        if (it != m_key->values.end())
            m_key->values.erase(it);
        return true;
    }
    Value value;
    if (!ValueData(data, line, value))
        return false;
    const auto it = m_key->values.find(name);
    if (it != m_key->values.end()) {
        it->second = std::move(value);  // the later one counts; the first spelling stays
    } else {
        if (++m_builder.m_entries > kMaxEntries)
            return Fail(line, "more than 2000000 keys and values");
        m_key->values.emplace(std::move(name), std::move(value));
    }
    return true;
}

bool FileReader::ValueData(std::string_view data, size_t line, Value& value)
{
    if (!data.empty() && data.front() == '"') {
        size_t pos = 0;
        if (!Quoted(data, pos, value.data))
            return Fail(line, "string without its closing quote");
        if (pos != data.size())
            return Fail(line, "text after the closing quote: \"" + Snippet(data.substr(pos)) + "\"");
        value.type = REG_SZ;
        value.data += '\0';
        return true;
    }
    if (StartsWithNoCase(data, "dword:")) {
        const std::string_view digits = data.substr(6);
        DWORD number = 0;
        for (char c : digits) {
            const int d = HexDigit(c);
            if (d < 0)
                return Fail(line, "bad dword \"" + Snippet(digits) + "\"");
            number = number << 4 | static_cast<DWORD>(d);
        }
        if (digits.empty())
            return Fail(line, "dword without digits");
        if (digits.size() > 8)
            return Fail(line, "dword out of range: \"" + Snippet(digits) + "\"");
        value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            value.data += static_cast<char>(number >> (8 * i) & 0xFF);
        return true;
    }
    if (!StartsWithNoCase(data, "hex"))
        return Fail(line, "unknown value type: \"" + Snippet(data) + "\"");

    std::string_view rest = data.substr(3);
    value.type = REG_BINARY;
    if (!rest.empty() && rest.front() == '(') {
        const size_t close = rest.find(')');
        const std::string_view digits = rest.substr(1, close == std::string_view::npos ? 0 : close - 1);
        if (close == std::string_view::npos || digits.empty() || digits.size() > 8)
            return Fail(line, "bad value type in \"" + Snippet(data) + "\"");
        DWORD type = 0;
        for (char c : digits) {
            const int d = HexDigit(c);
            if (d < 0)
                return Fail(line, "bad value type in \"" + Snippet(data) + "\"");
            type = type << 4 | static_cast<DWORD>(d);
        }
        value.type = type;
        rest = rest.substr(close + 1);
    }
    if (rest.empty() || rest.front() != ':')
        return Fail(line, "':' expected in \"" + Snippet(data) + "\"");
    rest = TrimLeft(rest.substr(1));

    std::string bytes;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        std::string_view item = TrimRight(TrimLeft(rest.substr(0, comma)));
        const int hi = item.size() >= 1 ? HexDigit(item[0]) : -1;
        const int lo = item.size() == 2 ? HexDigit(item[1]) : 0;
        if (item.empty() || item.size() > 2 || hi < 0 || lo < 0)
            return Fail(line, "bad hex byte \"" + Snippet(item) + "\"");
        bytes += static_cast<char>(item.size() == 2 ? hi << 4 | lo : hi);
        if (comma == std::string_view::npos)
            break;
        rest = rest.substr(comma + 1);
        if (TrimLeft(rest).empty())
            return Fail(line, "bad hex byte \"\" after the last comma");
    }
    if (IsStringType(value.type) && m_version5) {
        // Version 5 files hold these as the UTF-16 the registry stores.
        if (bytes.size() % 2 != 0)
            return Fail(line, "odd number of bytes for a UTF-16 string");
        value.data = Narrow(bytes);
    } else {
        value.data = std::move(bytes);
    }
    return true;
}

TreeBuilder::TreeBuilder() : m_tree(std::make_shared<Tree>())
{
    for (size_t i = 0; i < kRootCount; ++i)
        m_tree->roots[i].name = kRootNames[i];
}

bool TreeBuilder::Apply(std::string_view bytes, const std::string& name, std::string& error)
{
    FileReader reader(*this, name, error);
    return reader.Read(bytes);
}

std::shared_ptr<const Tree> TreeBuilder::Finish()
{
    // Without recursion: the depth is bounded, but a walk of our own costs
    // nothing and keeps the stack out of the question.
    std::vector<Key*> pending;
    for (Key& root : m_tree->roots)
        pending.push_back(&root);
    while (!pending.empty()) {
        Key* key = pending.back();
        pending.pop_back();
        key->order.clear();
        key->order.reserve(key->subkeys.size());
        for (auto& [name, child] : key->subkeys) {
            key->order.push_back(child.get());
            pending.push_back(child.get());
        }
    }
    return std::move(m_tree);
}

}  // namespace tavrin::registry
