// The MFC value types as hosts use them.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <cstring>
#include <iterator>
#include <vector>

TEST(PlatformStrings, CStringEditsAndSearches)
{
    CString s("hello, world  ");
    EXPECT_EQ(s.GetLength(), 14);
    s.TrimRight();
    EXPECT_EQ(s, "hello, world");
    EXPECT_EQ(s.Find('o'), 4);
    EXPECT_EQ(s.Find('o', 5), 8);
    EXPECT_EQ(s.Find("world"), 7);
    EXPECT_EQ(s.Find("absent"), -1);
    EXPECT_EQ(s.Find('h', 99), -1);
    EXPECT_EQ(s.Left(5), "hello");
    EXPECT_EQ(s.Mid(7), "world");
    EXPECT_EQ(s.Mid(7, 2), "wo");
    EXPECT_EQ(s.Right(3), "rld");
    EXPECT_EQ(s.Left(-1), "");
    EXPECT_EQ(s.Mid(50), "");
    EXPECT_EQ(s.Replace("l", "LL"), 3);
    EXPECT_EQ(s, "heLLLLo, worLLd");
    s.MakeUpper();
    EXPECT_EQ(s, "HELLLLO, WORLLD");
    CString t;
    EXPECT_TRUE(t.IsEmpty());
    t.Format("%s:%lu-%d", "COM1", 9600ul, 8);
    EXPECT_EQ(t, "COM1:9600-8");
    t += '!';
    EXPECT_EQ(CString("a") + t + "b", "aCOM1:9600-8!b");
    EXPECT_TRUE(CString("abc") < CString("abd"));
    EXPECT_EQ(CString(static_cast<const char*>(nullptr)), "");
    // Embedded zero bytes are kept when the length is given.
    CString bytes("a\0b", 3);
    EXPECT_EQ(bytes.GetLength(), 3);
    EXPECT_EQ(bytes.GetAt(2), 'b');
}

TEST(PlatformStrings, CStringListKeepsOrderAtBothEnds)
{
    CStringList list(10);
    EXPECT_TRUE(list.IsEmpty());
    list.AddTail("b");
    list.AddTail("c");
    list.AddHead("a");
    EXPECT_EQ(list.GetCount(), 3);
    POSITION pos = list.GetHeadPosition();
    EXPECT_EQ(list.GetNext(pos), "a");
    EXPECT_EQ(list.GetNext(pos), "b");
    EXPECT_EQ(list.GetNext(pos), "c");
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(list.RemoveHead(), "a");
    EXPECT_EQ(list.GetHead(), "b");
    EXPECT_EQ(list.GetTail(), "c");
    list.RemoveAll();
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.RemoveHead(), "");
}

TEST(PlatformStrings, CPtrArrayInsertsAndRemovesInPlace)
{
    int a = 1, b = 2, c = 3;
    CPtrArray array;
    array.Add(&a);
    array.Add(&c);
    array.InsertAt(1, &b);
    ASSERT_EQ(array.GetSize(), 3);
    EXPECT_EQ(array[0], &a);
    EXPECT_EQ(array[1], &b);
    EXPECT_EQ(array[2], &c);
    array.RemoveAt(0);
    EXPECT_EQ(array.GetAt(0), &b);
    array.InsertAt(2, &a);
    EXPECT_EQ(array.GetAt(2), &a);
    array.RemoveAll();
    EXPECT_TRUE(array.IsEmpty());
}

TEST(PlatformStrings, StringTableTextsLoadById)
{
    CString text;
    EXPECT_TRUE(text.LoadString(IDS_LOOPBACK_NAME));
    EXPECT_EQ(text, "Loopback");
    EXPECT_FALSE(text.LoadString(0xFFFF));
#if !defined(_WIN32)  // there LoadStringA is user32's, over module resources
    char buffer[5];
    EXPECT_EQ(LoadStringA(nullptr, IDS_LOOPBACK_NAME, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "Loop");
#endif
}

// Every text as the library's sources write it, which on Windows proves the
// resource compiler kept escapes, quotes and format fields.
TEST(PlatformStrings, EveryTextOfTheTableLoadsAsWritten)
{
    const struct {
        UINT id;
        const char* text;
    } texts[] = {
#define TAVRIN_STRING(id, text) {id, text},
#include "../res/Strings.inc"
#undef TAVRIN_STRING
    };
    ASSERT_GE(std::size(texts), 40u);
    for (const auto& expected : texts) {
        SCOPED_TRACE(expected.id);
        CString text;
        ASSERT_TRUE(text.LoadString(expected.id));
        EXPECT_STREQ(text, expected.text);
        // The same pointer on every lookup: callers keep it.
        EXPECT_EQ(FindLibraryString(expected.id), FindLibraryString(expected.id));
    }
    CString path;
    ASSERT_TRUE(path.LoadString(IDS_COM_DEVICE_PATH));
    EXPECT_EQ(path, CString("\\\\.\\COM%d"));
}

#if defined(_WIN32)
// The texts are the DLL's string-table resource: user32 finds them in the
// library's module and not in the host's.
TEST(PlatformStrings, TheTextsAreResourcesOfTheLibrarysModule)
{
    HMODULE library = GetModuleHandleA("tavrin.dll");
    ASSERT_NE(library, nullptr);
    char buffer[5];
    EXPECT_EQ(LoadStringA(library, IDS_LOOPBACK_NAME, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "Loop");
    char whole[64];
    EXPECT_EQ(LoadStringA(library, IDS_LAN_ACCESS_GRANTED, whole, sizeof whole),
              static_cast<int>(std::strlen("Connection from %s. (Accepted)")));
    EXPECT_STREQ(whole, "Connection from %s. (Accepted)");
    EXPECT_EQ(LoadStringA(GetModuleHandleA(nullptr), IDS_LOOPBACK_NAME, buffer, sizeof buffer), 0);
    EXPECT_EQ(LoadStringA(library, 0xFFFF, buffer, sizeof buffer), 0);
    // So are the panel's template and its icon.
    EXPECT_NE(FindResourceA(library, MAKEINTRESOURCEA(IDD_MODEM_SELECT), RT_DIALOG), nullptr);
    EXPECT_NE(FindResourceA(library, MAKEINTRESOURCEA(IDI_MODEM), RT_GROUP_ICON), nullptr);

    // The version block names the library and its version.
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(library, path, sizeof path), 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));
    char* description = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\FileDescription",
                               reinterpret_cast<void**>(&description), &length));
    EXPECT_STREQ(description, "Tavrin communications library");
}
#endif
