// The registry read from export files: every value form of both export
// formats, the answers of the calls, layered folders, damaged files, the
// automatic first load in fresh processes, and reloads under readers.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"

using tavrin::test::ChildOptions;
using tavrin::test::ChildProcess;
using tavrin::test::TempDir;

namespace {

constexpr int kChildTimeoutMs = 20000;
const char* const kModem0 = "System\\CurrentControlSet\\Services\\Class\\Modem\\0000";

std::string Fixture(const std::string& name)
{
    return std::string(REGISTRY_FIXTURES) + "/" + name;
}

void Load(const std::string& path)
{
    std::string error;
    ASSERT_TRUE(tavrin::LoadRegistry(path.c_str(), &error)) << error;
    ASSERT_EQ(error, "");
}

void LoadText(const std::string& text)
{
    std::string error;
    ASSERT_TRUE(tavrin::LoadRegistryText(text, "test.reg", &error)) << error;
}

struct Read {
    LONG result = -1;
    DWORD type = 0xDEAD;
    std::string data;
};

// The value as a caller sizing its buffer first would read it; checks on
// the way that the size asked for is the size read.
Read Query(HKEY key, const char* name)
{
    Read read;
    DWORD size = 0;
    read.result = RegQueryValueExA(key, name, nullptr, &read.type, nullptr, &size);
    if (read.result != ERROR_SUCCESS)
        return read;
    read.data.assign(size, '\x5A');
    DWORD got = size;
    read.result = RegQueryValueExA(key, name, nullptr, &read.type, reinterpret_cast<LPBYTE>(read.data.data()), &got);
    EXPECT_EQ(got, size) << name;
    return read;
}

// A key opened for reading and closed at the end of the scope.
class OpenKey {
public:
    OpenKey(HKEY base, const char* path) { m_result = RegOpenKeyExA(base, path, 0, KEY_READ, &m_key); }
    ~OpenKey()
    {
        if (m_result == ERROR_SUCCESS)
            EXPECT_EQ(RegCloseKey(m_key), ERROR_SUCCESS);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    LONG Result() const { return m_result; }
    operator HKEY() const { return m_key; }  // NOLINT: reads like a handle

private:
    HKEY m_key = nullptr;
    LONG m_result = -1;
};

std::vector<std::string> Subkeys(HKEY key)
{
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        const LONG result = RegEnumKeyA(key, i, name, sizeof name);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(result, ERROR_SUCCESS);
        if (result != ERROR_SUCCESS)
            break;
        names.emplace_back(name);
    }
    return names;
}

std::string Text(const char* text)
{
    return std::string(text) + '\0';
}

std::string Bytes(std::initializer_list<int> bytes)
{
    std::string out;
    for (int b : bytes)
        out += static_cast<char>(b);
    return out;
}

}  // namespace

TEST(RegistryFormat, Regedit4ExportGivesEveryValueForm)
{
    Load(Fixture("format_regedit4.reg"));
    OpenKey modem(HKEY_LOCAL_MACHINE, kModem0);
    ASSERT_EQ(modem.Result(), ERROR_SUCCESS);

    struct Expected {
        const char* name;
        DWORD type;
        std::string data;
    };
    const Expected expected[] = {
        {nullptr, REG_SZ, Text("Default text")},
        {"", REG_SZ, Text("Default text")},
        {"DriverDesc", REG_SZ, Text("Sportster 33600 Fax")},
        {"Path", REG_SZ, Text("C:\\WINDOWS\\INF")},
        {"Quote", REG_SZ, Text("say \"AT\" twice")},
        {"Other", REG_SZ, Text("a\\tb\\q")},  // not escapes: kept as written
        {"Latin", REG_SZ, Text("Caf\xE9")},
        {"Reset", REG_DWORD, Bytes({0x1F, 0, 0, 0})},
        {"Short", REG_DWORD, Bytes({1, 0, 0, 0})},
        {"Max", REG_DWORD, Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
        {"Properties", REG_BINARY, Bytes({0x80, 1, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0x0A, 0, 0, 0})},
        {"Empty", REG_BINARY, ""},
        {"Expand", REG_EXPAND_SZ, Text("%WINDIR%")},
        {"Multi", REG_MULTI_SZ, std::string("one\0two\0\0", 9)},
        {"None", REG_NONE, Bytes({1, 2})},
        {"Dword4", REG_DWORD, Bytes({0x78, 0x56, 0x34, 0x12})},
        {"twice", REG_SZ, Text("second")},
        {"Spaced", REG_SZ, Text("x")},
        {"Esc\"aped\\name", REG_SZ, Text("named with escapes")},
        {"DRIVERDESC", REG_SZ, Text("Sportster 33600 Fax")},
    };
    for (const Expected& e : expected) {
        const Read read = Query(modem, e.name);
        const std::string label = e.name != nullptr ? e.name : "(null)";
        EXPECT_EQ(read.result, ERROR_SUCCESS) << label;
        EXPECT_EQ(read.type, e.type) << label;
        EXPECT_EQ(read.data, e.data) << label;
    }
    EXPECT_EQ(Query(modem, "Removed").result, ERROR_FILE_NOT_FOUND);  // absent from 0000 anyway
    OpenKey other(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Class\\Modem\\0001");
    ASSERT_EQ(other.Result(), ERROR_SUCCESS);
    EXPECT_EQ(Query(other, "Removed").result, ERROR_FILE_NOT_FOUND);  // "name"=- took it out
    EXPECT_EQ(Query(other, "DriverDesc").data, Text("Standard Modem"));

    // The second spelling of the path reached the same keys; the first
    // spelling is what enumeration shows.
    EXPECT_EQ(Subkeys(modem), (std::vector<std::string>{"Init", "Responses"}));
    OpenKey hklm(HKEY_LOCAL_MACHINE, "");
    ASSERT_EQ(hklm.Result(), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hklm), (std::vector<std::string>{"Software", "System"}));
    OpenKey responses(modem, "responses");
    ASSERT_EQ(responses.Result(), ERROR_SUCCESS);
    EXPECT_EQ(Query(responses, "connect").data.size(), 13u);
}

TEST(RegistryFormat, Version5ExportInUtf16IsReadAsEightBitText)
{
    Load(Fixture("format_version5.reg"));
    OpenKey modem(HKEY_LOCAL_MACHINE,
                  "SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96d-e325-11ce-bfc1-08002be10318}\\0000");
    ASSERT_EQ(modem.Result(), ERROR_SUCCESS);
    EXPECT_EQ(Query(modem, nullptr).data, Text("default"));
    EXPECT_EQ(Query(modem, "FriendlyName").data, Text("Standard 56000 bps Modem"));
    EXPECT_EQ(Query(modem, "Accent").data, Text("Caf\xE9 ?5"));  // the euro sign is above 0xFF
    EXPECT_EQ(Query(modem, "InactivityScale").data, Bytes({0x3C, 0, 0, 0}));
    const Read dcb = Query(modem, "DCB");
    EXPECT_EQ(dcb.type, REG_BINARY);
    EXPECT_EQ(dcb.data, Bytes({0x1C, 0, 0, 0, 0, 0xC2, 1, 0, 0x15, 0x20, 0, 0, 0, 0, 0x0A, 0, 0x0A, 0, 8, 0, 0,
                               0x11, 0x13, 0, 0, 0}));
    const Read expand = Query(modem, "Expand");
    EXPECT_EQ(expand.type, REG_EXPAND_SZ);
    EXPECT_EQ(expand.data, Text("%SystemRoot%"));
    const Read multi = Query(modem, "Multi");
    EXPECT_EQ(multi.type, REG_MULTI_SZ);
    EXPECT_EQ(multi.data, std::string("a?\0b\0\0", 6));
    const Read qword = Query(modem, "Qword");
    EXPECT_EQ(qword.type, REG_QWORD);
    EXPECT_EQ(qword.data, Bytes({0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(Query(modem, "Reset").data, Bytes({0, 4, 0, 0}));

    OpenKey omega(HKEY_CURRENT_USER, "Software\\?mega");
    ASSERT_EQ(omega.Result(), ERROR_SUCCESS);
    EXPECT_EQ(Query(omega, "Name").data, Text("?"));
}

TEST(RegistryFormat, ContinuationsCommentsAndLineEnds)
{
    // LF line ends, a hex list wrapped three times with tabs and spaces, a
    // comment between values, trailing white space after a dword.
    LoadText("REGEDIT4\n[HKEY_USERS\\Wrap]\n\"h\"=hex(3):01,\\\n   02,\\\n\t03 ,\\\n  04\n"
             "; \"skipped\"=\"x\"\n\"d\"=dword:0000000a \t\n");
    OpenKey wrap(HKEY_USERS, "Wrap");
    ASSERT_EQ(wrap.Result(), ERROR_SUCCESS);
    EXPECT_EQ(Query(wrap, "h").data, Bytes({1, 2, 3, 4}));
    EXPECT_EQ(Query(wrap, "d").data, Bytes({10, 0, 0, 0}));
    EXPECT_EQ(Query(wrap, "skipped").result, ERROR_FILE_NOT_FOUND);
}

TEST(RegistryEnum, RegistryOrderAndBufferLimits)
{
    Load(Fixture("format_regedit4.reg"));
    OpenKey order(HKEY_LOCAL_MACHINE, "Software\\Order");
    ASSERT_EQ(order.Result(), ERROR_SUCCESS);
    // Windows orders by the upper-case form: '_' (0x5F) comes after 'Z'.
    // "B" and "b" are one key.
    EXPECT_EQ(Subkeys(order), (std::vector<std::string>{"A", "a1", "b", "Z", "_x"}));
    char name[8];
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(RegEnumKeyA(order, 1, name, 2), ERROR_MORE_DATA);  // "a1" and its zero need 3
    EXPECT_EQ(name[0], '#');
    EXPECT_EQ(RegEnumKeyA(order, 1, name, 3), ERROR_SUCCESS);
    EXPECT_STREQ(name, "a1");
    EXPECT_EQ(RegEnumKeyA(order, 5, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(order, 0xFFFFFFFFu, name, sizeof name), ERROR_NO_MORE_ITEMS);
    OpenKey deeper(order, "b\\DEEPER\\");
    EXPECT_EQ(deeper.Result(), ERROR_SUCCESS);
    EXPECT_EQ(RegEnumKeyA(deeper, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
}

TEST(RegistryOpen, PathsHandlesAndAccess)
{
    Load(Fixture("format_regedit4.reg"));
    LoadText("REGEDIT4\n[HKEY_LOCAL_MACHINE]\n\"RootValue\"=\"root\"\n[HKEY_LOCAL_MACHINE\\Sub]\n"
             "\"SubValue\"=\"sub\"\n[HKEY_LOCAL_MACHINE\\Sub\\Inner]\n");
    HKEY key = nullptr;

    // An empty or null path: RegOpenKeyA hands a root back as it is;
    // otherwise a new handle to the same key.
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "", &key), ERROR_SUCCESS);
    EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(Query(key, "RootValue").data, Text("root"));
    OpenKey sub(HKEY_LOCAL_MACHINE, "Sub");
    ASSERT_EQ(sub.Result(), ERROR_SUCCESS);
    for (const char* empty : {"", static_cast<const char*>(nullptr)}) {
        HKEY again = nullptr;
        ASSERT_EQ(RegOpenKeyA(sub, empty, &again), ERROR_SUCCESS);
        EXPECT_NE(again, static_cast<HKEY>(sub));
        EXPECT_EQ(Query(again, "SubValue").data, Text("sub"));
        EXPECT_EQ(Query(again, "RootValue").result, ERROR_FILE_NOT_FOUND);  // the root's, not this key's
        EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, empty, 0, KEY_READ, &again), ERROR_SUCCESS);
        EXPECT_EQ(Query(again, "RootValue").data, Text("root"));
        EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    }

    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Sub", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "\\", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Sub\\\\", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Sub\\\\Inner", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Sub\\Missing", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_CONFIG, "Sub", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Sub", nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Sub", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);

    // Read-only: anything that could write is refused, on a key that exists.
    for (REGSAM sam : {KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_WRITE, KEY_ALL_ACCESS, REGSAM{0x00010000} /* DELETE */}) {
        key = reinterpret_cast<HKEY>(1);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Sub", 0, sam, &key), ERROR_ACCESS_DENIED) << sam;
        EXPECT_EQ(key, nullptr);
    }
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Sub\\Inner", 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // Closed, never opened and forged handles; roots survive being closed.
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Query(key, "x").result, ERROR_INVALID_HANDLE);
    char name[16];
    EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyA(key, "Inner", &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Query(reinterpret_cast<HKEY>(0x12345678), nullptr).result, ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, "RootValue").data, Text("root"));

    // Numbers are never handed out twice: a stale copy stays stale.
    std::set<HKEY> seen;
    HKEY first = nullptr;
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Sub", &key), ERROR_SUCCESS);
        EXPECT_TRUE(seen.insert(key).second);
        EXPECT_NE(key, HKEY_CLASSES_ROOT);
        EXPECT_NE(key, HKEY_LOCAL_MACHINE);
        if (first == nullptr)
            first = key;
        ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        EXPECT_EQ(Query(first, "SubValue").result, ERROR_INVALID_HANDLE);
    }
}

TEST(RegistryQuery, SizesTypesAndBuffers)
{
    LoadText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Q]\n\"s\"=\"hello\"\n\"d\"=dword:01020304\n");
    OpenKey q(HKEY_LOCAL_MACHINE, "Q");
    ASSERT_EQ(q.Result(), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    BYTE buffer[16];

    EXPECT_EQ(RegQueryValueExA(q, "s", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 6u);  // with its terminating zero
    EXPECT_EQ(RegQueryValueExA(q, "s", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

    std::memset(buffer, 0xEE, sizeof buffer);
    size = 5;
    type = 0;
    EXPECT_EQ(RegQueryValueExA(q, "s", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, REG_SZ);
    for (BYTE b : buffer)
        ASSERT_EQ(b, 0xEE) << "the buffer was written although it was too small";

    size = 6;
    EXPECT_EQ(RegQueryValueExA(q, "s", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer), "hello");
    EXPECT_EQ(buffer[6], 0xEE);

    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(q, "D", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buffer[0] | buffer[1] << 8 | buffer[2] << 16 | buffer[3] << 24, 0x01020304);

    EXPECT_EQ(RegQueryValueExA(q, "s", nullptr, &type, buffer, nullptr), ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(q, "s", &reserved, &type, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(q, "missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(q, nullptr, nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);  // no default
}

TEST(RegistryLoad, FolderLayersOverrideAndDelete)
{
    Load(Fixture("layered"));
    OpenKey layers(HKEY_LOCAL_MACHINE, "Software\\Layers");
    ASSERT_EQ(layers.Result(), ERROR_SUCCESS);
    EXPECT_EQ(Query(layers, "Kept").data, Text("base"));
    EXPECT_EQ(Query(layers, "Overridden").data, Text("override"));
    EXPECT_EQ(Query(layers, "Deleted").result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(layers, "Added").data, Bytes({2, 0, 0, 0}));
    // 30-delete.REG took Doomed with its subtree; notes.txt was not read.
    EXPECT_EQ(Subkeys(layers), (std::vector<std::string>{"Survivor"}));
    OpenKey doomed(HKEY_LOCAL_MACHINE, "Software\\Layers\\Doomed\\Child");
    EXPECT_EQ(doomed.Result(), ERROR_FILE_NOT_FOUND);
    OpenKey back(layers, "Survivor\\New");
    ASSERT_EQ(back.Result(), ERROR_SUCCESS);
    EXPECT_EQ(Query(back, "Back").data, Text("later"));
    EXPECT_EQ(tavrin::RegistryLoadError(), "");

    // A damaged file late in a folder fails the whole folder.
    TempDir dir;
    std::ofstream(dir.Path() + "/a.reg") << "REGEDIT4\n[HKEY_USERS\\FromA]\n";
    std::ofstream(dir.Path() + "/b.reg") << "REGEDIT4\n[HKEY_USERS\\FromB]\n\"x\"=hex:zz\n";
    std::string error;
    EXPECT_FALSE(tavrin::LoadRegistry(dir.Path().c_str(), &error));
    EXPECT_EQ(error.rfind(dir.Path() + "/b.reg:3: bad hex byte", 0), 0u) << error;
    OpenKey fromA(HKEY_USERS, "FromA");
    EXPECT_EQ(fromA.Result(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(layers, "Kept").data, Text("base"));
    OpenKey stillThere(HKEY_LOCAL_MACHINE, "Software\\Layers\\Survivor");
    EXPECT_EQ(stillThere.Result(), ERROR_SUCCESS);

    EXPECT_FALSE(tavrin::LoadRegistry((dir.Path() + "/none").c_str(), &error));
    EXPECT_NE(error.find(dir.Path() + "/none: "), std::string::npos) << error;
}

TEST(RegistryLoad, MalformedFilesNameTheirLineAndKeepThePreviousTree)
{
    struct Case {
        const char* file;
        int line;
        const char* what;
    };
    const Case cases[] = {
        {"malformed_header.reg", 1, "unknown header"},
        {"malformed_outside.reg", 3, "value before any key section"},
        {"malformed_root.reg", 5, "unknown root key \"HKEY_LOCAL_MACHIN\""},
        {"malformed_hex.reg", 3, "bad hex byte \"0g\""},
        {"malformed_string.reg", 4, "string without its closing quote"},
        {"malformed_dword.reg", 3, "dword out of range"},
        {"malformed_utf16.reg", 4, "odd number of bytes for a UTF-16 string"},
        {"malformed_continuation.reg", 4, "continues past the end of the file"},
    };
    LoadText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Before]\n\"v\"=\"kept\"\n");
    OpenKey held(HKEY_LOCAL_MACHINE, "Before");
    ASSERT_EQ(held.Result(), ERROR_SUCCESS);
    for (const Case& c : cases) {
        const std::string path = Fixture(c.file);
        const std::string prefix = path + ":" + std::to_string(c.line) + ": ";
        std::string error;
        EXPECT_FALSE(tavrin::LoadRegistry(path.c_str(), &error)) << c.file;
        EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
        EXPECT_NE(error.find(c.what), std::string::npos) << error;
        EXPECT_EQ(tavrin::RegistryLoadError(), error);
        OpenKey fresh(HKEY_LOCAL_MACHINE, "Before");
        ASSERT_EQ(fresh.Result(), ERROR_SUCCESS) << c.file;
        EXPECT_EQ(Query(fresh, "v").data, Text("kept"));
        OpenKey a(HKEY_LOCAL_MACHINE, "A");
        EXPECT_EQ(a.Result(), ERROR_FILE_NOT_FOUND) << c.file << " was half applied";
    }

    // The same from text, for what no fixture shows.
    std::string deep = "REGEDIT4\n[HKEY_USERS";
    for (int i = 0; i < 513; ++i)
        deep += "\\k";
    deep += "]\n";
    const std::pair<std::string, std::string> texts[] = {
        {"", "t.reg:1: empty file"},
        {std::string("\xFF\xFER\0\n\0x", 7), "t.reg:2: UTF-16 text ends in half a character"},
        {"REGEDIT4\n[HKEY_USERS\\A\\\\B]\n", "t.reg:2: empty key name"},
        {"REGEDIT4\n[HKEY_USERS\\A\n", "t.reg:2: key name without its closing ']'"},
        {"REGEDIT4\n[-HKEY_USERS\\A]\n\"x\"=\"y\"\n", "t.reg:3: value under a deleted key"},
        {"REGEDIT4\n[-HKEY_USERS]\n", "t.reg:2: a root key cannot be deleted"},
        {"REGEDIT4\n[HKEY_USERS\\A]\n\"x\"=text\n", "t.reg:3: unknown value type"},
        {"REGEDIT4\n[HKEY_USERS\\A]\n\"x\"=dword:\n", "t.reg:3: dword without digits"},
        {"REGEDIT4\n[HKEY_USERS\\A]\n\"x\"=dword:1g\n", "t.reg:3: bad dword"},
        {"REGEDIT4\n[HKEY_USERS\\A]\n\"x\"=hex:01,\n", "t.reg:3: bad hex byte"},
        {"REGEDIT4\n[HKEY_USERS\\A]\n\"x\"=hex:123\n", "t.reg:3: bad hex byte \"123\""},
        {"REGEDIT4\n[HKEY_USERS\\A]\n\"x\"=hex(100000000):00\n", "t.reg:3: bad value type"},
        {"REGEDIT4\n[HKEY_USERS\\A]\n\"x\"=\"a\" b\n", "t.reg:3: text after the closing quote"},
        {"REGEDIT4\n[HKEY_USERS\\A]\n\"x\"\n", "t.reg:3: '=' expected"},
        {"REGEDIT4\n[HKEY_USERS\\A]\n\"x=\"y\"\n", "t.reg:3: '=' expected"},
        {"REGEDIT4\n[HKEY_USERS\\A]\nx=1\n", "t.reg:3: neither a key, a value nor a comment"},
        {deep, "t.reg:2: key path deeper than 512 levels"},
        {"REGEDIT4\n[HKEY_USERS\\" + std::string(256, 'n') + "]\n", "t.reg:2: key name longer than 255"},
    };
    for (const auto& [text, message] : texts) {
        std::string error;
        EXPECT_FALSE(tavrin::LoadRegistryText(text, "t.reg", &error)) << message;
        EXPECT_EQ(error.rfind(message, 0), 0u) << error;
        EXPECT_EQ(Query(held, "v").data, Text("kept"));
    }
}

TEST(RegistryLoad, AReloadLeavesOpenKeysOnTheirTree)
{
    LoadText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Gen]\n\"v\"=\"old\"\n[HKEY_LOCAL_MACHINE\\Gen\\OldOnly]\n");
    OpenKey old(HKEY_LOCAL_MACHINE, "Gen");
    ASSERT_EQ(old.Result(), ERROR_SUCCESS);
    LoadText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Gen]\n\"v\"=\"new\"\n[HKEY_LOCAL_MACHINE\\Gen\\NewOnly]\n");

    EXPECT_EQ(Query(old, "v").data, Text("old"));
    EXPECT_EQ(Subkeys(old), std::vector<std::string>{"OldOnly"});
    OpenKey oldChild(old, "OldOnly");  // relative to the old tree
    EXPECT_EQ(oldChild.Result(), ERROR_SUCCESS);
    OpenKey fresh(HKEY_LOCAL_MACHINE, "Gen");
    ASSERT_EQ(fresh.Result(), ERROR_SUCCESS);
    EXPECT_EQ(Query(fresh, "v").data, Text("new"));
    EXPECT_EQ(Subkeys(fresh), std::vector<std::string>{"NewOnly"});
    // The roots always answer from the current tree.
    EXPECT_EQ(Subkeys(HKEY_LOCAL_MACHINE), std::vector<std::string>{"Gen"});
}

TEST(RegistryLoad, ReadersStayConsistentWhileAnotherThreadReloads)
{
    // Two generations; within one open key everything must come from one.
    auto generation = [](char g) {
        return std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Gen]\n\"g\"=\"") + g + "\"\n\"check\"=dword:0000000" + g +
               "\n[HKEY_LOCAL_MACHINE\\Gen\\only" + g + "]\n";
    };
    const std::string a = generation('a'), b = generation('b');
    LoadText(a);
    std::atomic<bool> reloading{true};
    std::atomic<int> mismatches{0}, failures{0};
    auto reader = [&] {
        for (int round = 0; reloading.load() || round < 200; ++round) {
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Gen", 0, KEY_READ, &key) != ERROR_SUCCESS) {
                ++failures;
                continue;
            }
            char g[4] = {}, sub[16] = {};
            DWORD size = sizeof g;
            BYTE check[4] = {};
            DWORD checkSize = sizeof check;
            if (RegQueryValueExA(key, "g", nullptr, nullptr, reinterpret_cast<LPBYTE>(g), &size) != ERROR_SUCCESS ||
                RegQueryValueExA(key, "check", nullptr, nullptr, check, &checkSize) != ERROR_SUCCESS ||
                RegEnumKeyA(key, 0, sub, sizeof sub) != ERROR_SUCCESS || RegCloseKey(key) != ERROR_SUCCESS)
                ++failures;
            else if (check[0] != (g[0] == 'a' ? 0x0A : 0x0B) || sub[4] != g[0])
                ++mismatches;
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back(reader);
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(tavrin::LoadRegistryText(i % 2 == 0 ? b : a, "gen.reg"));
    reloading = false;
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
}

namespace {

struct ProbeRun {
    std::string out, err;
};

ProbeRun RunProbe(const std::string& registry, const char* key, const char* value)
{
    ChildProcess child(ChildOptions{{REGISTRY_PROBE_PATH, key, value}, {{"TAVRIN_REGISTRY", registry}}, -1, -1, -1});
    EXPECT_TRUE(child.Started()) << child.Error();
    const std::optional<int> status = child.WaitForExit(kChildTimeoutMs);
    EXPECT_EQ(status, std::optional<int>(0)) << child.Stderr();
    return ProbeRun{child.Stdout(), child.Stderr()};
}

}  // namespace

TEST(RegistryStartup, TheFirstCallLoadsWhatTheEnvironmentNames)
{
    const ProbeRun file = RunProbe(Fixture("format_regedit4.reg"), kModem0, "DriverDesc");
    EXPECT_EQ(file.out, "value=Sportster 33600 Fax\nerror=\n");
    EXPECT_EQ(file.err, "");

    const ProbeRun folder = RunProbe(Fixture("layered"), "Software\\Layers", "Overridden");
    EXPECT_EQ(folder.out, "value=override\nerror=\n");
    EXPECT_EQ(folder.err, "");

    // A damaged file: one line on stderr, an empty registry, the message kept.
    const std::string bad = Fixture("malformed_hex.reg");
    const ProbeRun damaged = RunProbe(bad, "A", "b");
    const std::string message = bad + ":3: bad hex byte \"0g\"";
    EXPECT_EQ(damaged.out, "open=" + std::to_string(ERROR_FILE_NOT_FOUND) + "\nerror=" + message + "\n");
    EXPECT_NE(damaged.err.find(message + "\n"), std::string::npos) << damaged.err;
    EXPECT_EQ(std::count(damaged.err.begin(), damaged.err.end(), '\n'), 1) << damaged.err;

    const ProbeRun missing = RunProbe(Fixture("no-such.reg"), "A", "b");
    EXPECT_NE(missing.out.find("error=" + Fixture("no-such.reg") + ": "), std::string::npos) << missing.out;
    EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
}

TEST(RegistryStartup, WithoutTheVariableAMissingDefaultPlaceIsAnEmptyRegistry)
{
    struct stat info {};
    if (::stat("/etc/tavrin/registry", &info) == 0)
        GTEST_SKIP() << "/etc/tavrin/registry exists on this machine";
    // An empty variable counts as unset.
    const ProbeRun run = RunProbe("", "Software", "x");
    EXPECT_EQ(run.out, "open=" + std::to_string(ERROR_FILE_NOT_FOUND) + "\nerror=\n");
    EXPECT_EQ(run.err, "");
}
