// MFC's files and archives: the byte layout of numbers and strings, the
// buffering, the failures a short or damaged archive raises, CMemFile and
// CFile on a real file.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// Every allocation in the process passes through here, the library's
// included, so a test can see the largest one asked for. Requests above the
// cap fail at once instead of taking the machine's memory.
namespace {
std::atomic<size_t> g_largestAllocation{0};
constexpr size_t kAllocationCap = size_t{256} << 20;
}  // namespace

void* operator new(size_t size)
{
    size_t seen = g_largestAllocation.load(std::memory_order_relaxed);
    while (size > seen && !g_largestAllocation.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
    if (size > kAllocationCap)
        throw std::bad_alloc();
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}

namespace {

std::vector<BYTE> Contents(CMemFile& file)
{
    const ULONGLONG length = file.GetLength();
    std::vector<BYTE> bytes(static_cast<size_t>(length));
    file.SeekToBegin();
    EXPECT_EQ(file.Read(bytes.data(), static_cast<UINT>(bytes.size())), bytes.size());
    return bytes;
}

std::vector<BYTE> Stored(const CString& str)
{
    CMemFile file;
    {
        CArchive ar(&file, CArchive::store);
        ar << str;
        ar.Close();
    }
    return Contents(file);
}

// Loads a string from raw bytes; the cause of a failure, or -1.
int LoadString(const std::vector<BYTE>& bytes, CString& out)
{
    CMemFile file;
    file.Write(bytes.data(), static_cast<UINT>(bytes.size()));
    file.SeekToBegin();
    CArchive ar(&file, CArchive::load);
    try {
        ar >> out;
    } catch (CArchiveException* e) {
        const int cause = e->m_cause;
        e->Delete();
        return cause;
    }
    return -1;
}

CString Text(int n, char first = 'a')
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += static_cast<char>(first + i % 26);
    return CString(s.c_str(), n);
}

std::string TempPath(const char* tag)
{
    const char* dir = std::getenv("TMPDIR");
    std::string path = dir != nullptr && *dir != '\0' ? dir : "/tmp";
    path += "/tavrin_archive_";
    path += tag;
    path += '_';
    path += std::to_string(::getpid());
    return path;
}

}  // namespace

TEST(PlatformArchive, StringPrefixFormsAtTheirBoundaries)
{
    struct Case {
        int length;
        std::vector<BYTE> prefix;
    };
    const Case cases[] = {
        {0, {0x00}},
        {254, {0xFE}},
        {255, {0xFF, 0xFF, 0x00}},
        {300, {0xFF, 0x2C, 0x01}},
        {65533, {0xFF, 0xFD, 0xFF}},
        {65534, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}},
        {70000, {0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const CString text = Text(c.length);
        const std::vector<BYTE> bytes = Stored(text);
        ASSERT_EQ(bytes.size(), c.prefix.size() + static_cast<size_t>(c.length));
        EXPECT_EQ(std::vector<BYTE>(bytes.begin(), bytes.begin() + static_cast<long>(c.prefix.size())), c.prefix);
        // The text follows with no terminator.
        EXPECT_EQ(std::memcmp(bytes.data() + c.prefix.size(), static_cast<LPCSTR>(text), static_cast<size_t>(c.length)), 0);
        CString back("untouched");
        EXPECT_EQ(LoadString(bytes, back), -1);
        EXPECT_EQ(back, text);
    }
}

TEST(PlatformArchive, ThreeHundredCharactersAreFF2C01ThenTheText)
{
    const CString text = Text(300, 'A');
    const std::vector<BYTE> bytes = Stored(text);
    ASSERT_EQ(bytes.size(), 303u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0x2C);
    EXPECT_EQ(bytes[2], 0x01);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + 3), 300), text.str());
}

TEST(PlatformArchive, SixteenBitStringsAreReadAsEightBit)
{
    // Marker FF FE FF, then the length (3), then "A", U+00E9, U+20AC.
    CString out;
    ASSERT_EQ(LoadString({0xFF, 0xFE, 0xFF, 0x03, 'A', 0x00, 0xE9, 0x00, 0xAC, 0x20}, out), -1);
    EXPECT_EQ(out.GetLength(), 3);
    EXPECT_EQ(out.str(), std::string("A\xE9?"));

    // A long one: the length after the marker in its 3-byte form.
    std::vector<BYTE> longer{0xFF, 0xFE, 0xFF, 0xFF, 0x2C, 0x01};
    for (int i = 0; i < 300; ++i) {
        longer.push_back(static_cast<BYTE>('a' + i % 26));
        longer.push_back(0);
    }
    ASSERT_EQ(LoadString(longer, out), -1);
    EXPECT_EQ(out, Text(300));

    // Half a character short of its length.
    EXPECT_EQ(LoadString({0xFF, 0xFE, 0xFF, 0x02, 'A', 0x00, 'B'}, out), CArchiveException::endOfFile);
}

TEST(PlatformArchive, NumbersAreLittleEndianWithoutPadding)
{
    CMemFile file;
    {
        CArchive ar(&file, CArchive::store);
        EXPECT_TRUE(ar.IsStoring());
        EXPECT_FALSE(ar.IsLoading());
        ar << BYTE{0x12} << WORD{0x3456} << DWORD{0x789ABCDEu} << LONG{-2} << 7
           << ULONGLONG{0x0102030405060708ull};
        ar.Close();
    }
    const std::vector<BYTE> expected{0x12, 0x56, 0x34, 0xDE, 0xBC, 0x9A, 0x78, 0xFE, 0xFF, 0xFF, 0xFF, 0x07, 0x00,
                                     0x00, 0x00, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(Contents(file), expected);

    file.SeekToBegin();
    CArchive ar(&file, CArchive::load);
    EXPECT_TRUE(ar.IsLoading());
    BYTE b = 0;
    WORD w = 0;
    DWORD dw = 0;
    LONG l = 0;
    int i = 0;
    ULONGLONG ull = 0;
    ar >> b >> w >> dw >> l >> i >> ull;
    EXPECT_EQ(b, 0x12);
    EXPECT_EQ(w, 0x3456);
    EXPECT_EQ(dw, 0x789ABCDEu);
    EXPECT_EQ(l, -2);
    EXPECT_EQ(i, 7);
    EXPECT_EQ(ull, 0x0102030405060708ull);
}

TEST(PlatformArchive, ShortArchiveThrowsEndOfFileKeepingEarlierFields)
{
    CMemFile file;
    const BYTE bytes[] = {0x2A, 0x34, 0x12, 0x01, 0x02};  // a byte, a word, half a dword
    file.Write(bytes, sizeof bytes);
    file.SeekToBegin();
    CArchive ar(&file, CArchive::load);
    BYTE b = 0;
    WORD w = 0;
    DWORD dw = 0xCAFEu;
    int cause = -1;
    try {
        ar >> b >> w >> dw;
    } catch (CArchiveException* e) {
        cause = e->m_cause;
        e->Delete();
    }
    EXPECT_EQ(cause, CArchiveException::endOfFile);
    EXPECT_EQ(b, 0x2A);
    EXPECT_EQ(w, 0x1234);
    EXPECT_EQ(dw, 0xCAFEu);

    // A string whose text stops short.
    CString s("kept");
    EXPECT_EQ(LoadString({0x05, 'a', 'b'}, s), CArchiveException::endOfFile);
    EXPECT_EQ(s, "kept");
    // And an archive that ends inside the prefix itself.
    EXPECT_EQ(LoadString({0xFF, 0x2C}, s), CArchiveException::endOfFile);
}

TEST(PlatformArchive, HostileLengthFailsBeforeAllocating)
{
    // FF FFFF 7FFFFFFF: two gigabytes claimed by a 20-byte file.
    std::vector<BYTE> bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    bytes.resize(20, 'x');
    const std::string path = TempPath("hostile");
    {
        CFile out(path.c_str(), CFile::modeCreate | CFile::modeWrite);
        out.Write(bytes.data(), static_cast<UINT>(bytes.size()));
        out.Close();
    }
    CFile in(path.c_str(), CFile::modeRead);
    CArchive ar(&in, CArchive::load, 16);
    CString s("kept");
    int cause = -1;
    const auto started = std::chrono::steady_clock::now();
    g_largestAllocation = 0;
    try {
        ar >> s;
    } catch (CArchiveException* e) {
        cause = e->m_cause;
        e->Delete();
    } catch (const std::bad_alloc&) {
        cause = -2;
    }
    const size_t largest = g_largestAllocation.load();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(cause, CArchiveException::endOfFile);
    EXPECT_LT(largest, size_t{1} << 20);
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_EQ(s, "kept");
    ar.Abort();
    in.Close();
    ::unlink(path.c_str());

    // The same claim in the 16-bit form, where it is doubled.
    g_largestAllocation = 0;
    std::vector<BYTE> wide{0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    wide.resize(20, 'x');
    EXPECT_EQ(LoadString(wide, s), CArchiveException::endOfFile);
    EXPECT_LT(g_largestAllocation.load(), size_t{1} << 20);
    EXPECT_EQ(s, "kept");
}

TEST(PlatformArchive, MemFileGrowsDetachesAndRewinds)
{
    CMemFile file(8);
    EXPECT_EQ(file.GetLength(), 0u);
    const CString text = Text(100);
    file.Write(static_cast<LPCSTR>(text), 60);
    file.Write(static_cast<LPCSTR>(text) + 60, 40);
    EXPECT_EQ(file.GetLength(), 100u);
    EXPECT_EQ(file.GetPosition(), 100u);

    char buf[128] = {};
    EXPECT_EQ(file.Read(buf, 10), 0u);  // at the end
    file.SeekToBegin();
    EXPECT_EQ(file.GetPosition(), 0u);
    EXPECT_EQ(file.Read(buf, 30), 30u);
    EXPECT_EQ(std::string(buf, 30), text.Left(30).str());
    EXPECT_EQ(file.Read(buf, 128), 70u);  // fewer past the end
    EXPECT_EQ(std::string(buf, 70), text.Mid(30).str());
    EXPECT_EQ(file.Seek(-5, CFile::end), 95u);
    EXPECT_EQ(file.Read(buf, 128), 5u);

    BYTE* detached = file.Detach();
    ASSERT_NE(detached, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(detached), 100), text.str());
    EXPECT_EQ(file.GetLength(), 0u);
    EXPECT_EQ(file.GetPosition(), 0u);
    EXPECT_EQ(file.Read(buf, 10), 0u);
    std::free(detached);

    // Usable again after Detach.
    file.Write("xyz", 3);
    EXPECT_EQ(file.GetLength(), 3u);

    // A fixed caller's buffer is the file; it does not grow.
    BYTE fixed[4] = {1, 2, 3, 4};
    CMemFile view(fixed, sizeof fixed);
    EXPECT_EQ(view.GetLength(), 4u);
    BYTE got[8] = {};
    EXPECT_EQ(view.Read(got, 8), 4u);
    EXPECT_EQ(got[3], 4);
    int cause = -1;
    try {
        view.Write("more", 4);
    } catch (CFileException* e) {
        cause = e->m_cause;
        e->Delete();
    }
    EXPECT_EQ(cause, CFileException::diskFull);

    // A growable caller's buffer starts empty and is left alone on growth.
    BYTE room[4] = {9, 9, 9, 9};
    CMemFile grow;
    grow.Attach(room, sizeof room, 16);
    EXPECT_EQ(grow.GetLength(), 0u);
    grow.Write("abcdefgh", 8);
    EXPECT_EQ(grow.GetLength(), 8u);
    EXPECT_EQ(room[0], 9);
    grow.SeekToBegin();
    EXPECT_EQ(grow.Read(got, 8), 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 8), "abcdefgh");

    // Seeking before the start is refused.
    cause = -1;
    try {
        grow.Seek(-1, CFile::begin);
    } catch (CFileException* e) {
        cause = e->m_cause;
        e->Delete();
    }
    EXPECT_EQ(cause, CFileException::badSeek);
}

TEST(PlatformArchive, FileRoundTripThroughArchive)
{
    const std::string path = TempPath("roundtrip");
    {
        CFile out;
        ASSERT_TRUE(out.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite));
        CArchive ar(&out, CArchive::store);
        ar << DWORD{0xDEADBEEFu} << CString("COM1") << WORD{9600} << Text(5000) << CString();
        ar.Close();
        out.Close();
        out.Close();  // twice is harmless
    }
    {
        CFile in(path.c_str(), CFile::modeRead);
        EXPECT_EQ(in.GetLength(), 4u + 5u + 2u + 3u + 5000u + 1u);
        CArchive ar(&in, CArchive::load);
        DWORD dw = 0;
        CString port, big, empty("x");
        WORD baud = 0;
        ar >> dw >> port >> baud >> big >> empty;
        EXPECT_EQ(dw, 0xDEADBEEFu);
        EXPECT_EQ(port, "COM1");
        EXPECT_EQ(baud, 9600);
        EXPECT_EQ(big, Text(5000));
        EXPECT_TRUE(empty.IsEmpty());
        BYTE extra = 0;
        int cause = -1;
        try {
            ar >> extra;
        } catch (CArchiveException* e) {
            cause = e->m_cause;
            e->Delete();
        }
        EXPECT_EQ(cause, CArchiveException::endOfFile);
    }
    // modeNoTruncate keeps the contents.
    {
        CFile again(path.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite);
        EXPECT_EQ(again.GetLength(), 5015u);
        EXPECT_EQ(again.SeekToEnd(), 5015u);
    }
    // modeCreate alone truncates.
    {
        CFile again(path.c_str(), CFile::modeCreate | CFile::modeWrite);
        EXPECT_EQ(again.GetLength(), 0u);
    }
    ::unlink(path.c_str());
}

// Line ends and Ctrl-Z are data like any other byte: no runtime's text mode
// may turn them into something else on the way to the disk or back.
TEST(PlatformArchive, FileKeepsEveryByteValueAsWritten)
{
    const std::string path = TempPath("bytes");
    std::vector<BYTE> bytes(256);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<BYTE>(i);
    {
        CFile out(path.c_str(), CFile::modeCreate | CFile::modeWrite);
        out.Write(bytes.data(), static_cast<UINT>(bytes.size()));
        EXPECT_EQ(out.GetPosition(), bytes.size());
    }
    CFile in(path.c_str(), CFile::modeRead);
    EXPECT_EQ(in.GetLength(), bytes.size());
    std::vector<BYTE> back(bytes.size() + 1);
    EXPECT_EQ(in.Read(back.data(), static_cast<UINT>(back.size())), bytes.size());
    back.resize(bytes.size());
    EXPECT_EQ(back, bytes);
    in.Close();
    std::remove(path.c_str());
}

TEST(PlatformArchive, MissingFileThrowsFileNotFound)
{
    const std::string path = TempPath("missing");
    ::unlink(path.c_str());
    int cause = -1;
    LONG osError = 0;
    try {
        CFile file(path.c_str(), CFile::modeRead);
    } catch (CFileException* e) {
        cause = e->m_cause;
        osError = e->m_lOsError;
        e->Delete();
    }
    EXPECT_EQ(cause, CFileException::fileNotFound);
    EXPECT_EQ(osError, ENOENT);

    CFile file;
    CFileException error;
    EXPECT_FALSE(file.Open(path.c_str(), CFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
    EXPECT_EQ(error.m_lOsError, ENOENT);
    EXPECT_EQ(error.m_strFileName, path.c_str());
    EXPECT_FALSE(file.Open(path.c_str(), CFile::modeRead));
}

TEST(PlatformArchive, TinyBufferAcrossManyFields)
{
    CMemFile file;
    {
        CArchive ar(&file, CArchive::store, 16);
        for (DWORD i = 0; i < 500; ++i) {
            ar << BYTE(i) << WORD(i * 3) << DWORD(i * 100003u);
            if (i % 50 == 0)
                ar << Text(static_cast<int>(i % 40), 'k');
        }
        // No Close: the destructor flushes.
    }
    EXPECT_EQ(file.GetLength(), 500u * 7u + [] {
        ULONGLONG n = 0;
        for (int i = 0; i < 500; i += 50)
            n += 1 + static_cast<ULONGLONG>(i % 40);
        return n;
    }());
    file.SeekToBegin();
    CArchive ar(&file, CArchive::load, 16);
    for (DWORD i = 0; i < 500; ++i) {
        BYTE b = 0;
        WORD w = 0;
        DWORD dw = 0;
        ar >> b >> w >> dw;
        ASSERT_EQ(b, BYTE(i)) << i;
        ASSERT_EQ(w, WORD(i * 3)) << i;
        ASSERT_EQ(dw, DWORD(i * 100003u)) << i;
        if (i % 50 == 0) {
            CString s;
            ar >> s;
            ASSERT_EQ(s, Text(static_cast<int>(i % 40), 'k')) << i;
        }
    }
    // Closing a loading archive puts the file where reading stopped.
    ar.Close();
    EXPECT_EQ(file.GetPosition(), file.GetLength());
}

TEST(PlatformArchive, WrongDirectionIsRefused)
{
    CMemFile file;
    CArchive ar(&file, CArchive::store);
    BYTE b = 0;
    int cause = -1;
    try {
        ar >> b;
    } catch (CArchiveException* e) {
        cause = e->m_cause;
        e->Delete();
    }
    EXPECT_EQ(cause, CArchiveException::writeOnly);
    ar.Abort();

    CArchive in(&file, CArchive::load);
    cause = -1;
    try {
        in << b;
    } catch (CArchiveException* e) {
        cause = e->m_cause;
        e->Delete();
    }
    EXPECT_EQ(cause, CArchiveException::readOnly);
}
