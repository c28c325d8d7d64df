// The dialog classes over the library's template: the windows they build,
// the combo box's messages, the user's choice reaching a host's message map,
// and what happens to the objects when a host destroys the windows.
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#include <memory>
#include <set>
#include <string>
#include <thread>

#include "support/TestPanel.h"

using tavrin::test::HostWindow;
using tavrin::test::TestPanel;

namespace {

std::string ItemText(HWND combo, int index)
{
    char buffer[64] = {};
    const LRESULT length = SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer));
    return length == CB_ERR ? "<CB_ERR>" : std::string(buffer, static_cast<size_t>(length));
}

LRESULT Add(HWND combo, const char* text)
{
    return SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

struct ExpectedControl {
    const char* className;
    int id;
    RECT rect;
    DWORD style;
    const char* text;
    UINT iconId;
};

}  // namespace

TEST(PlatformDialog, CreateBuildsTheTemplatesWindowsInOrderAndRunsOnInitDialog)
{
    HostWindow host;
    TestPanel panel(host.Wnd());
    ASSERT_TRUE(panel.Create(IDD_MODEM_SELECT, host.Wnd()));
    ASSERT_TRUE(IsWindow(panel.GetSafeHwnd()));
    EXPECT_EQ(GetParent(panel.GetSafeHwnd()), host.Handle());
    EXPECT_EQ(panel.m_initCalls, 1);
    EXPECT_TRUE(panel.m_listAttachedAtInit);

    tavrin::ui::DialogView view;
    ASSERT_TRUE(tavrin::ui::GetDialogView(panel.GetSafeHwnd(), view));
    EXPECT_EQ(view.templateId, UINT{IDD_MODEM_SELECT});
    EXPECT_EQ(view.style, WS_CHILD | WS_VISIBLE | DS_CONTROL | DS_SETFONT);
    EXPECT_EQ(view.rect.left, 0);
    EXPECT_EQ(view.rect.top, 0);
    EXPECT_EQ(view.rect.right, 250);
    EXPECT_EQ(view.rect.bottom, 170);
    EXPECT_TRUE(view.caption.IsEmpty());
    EXPECT_EQ(view.pointSize, 8);
    EXPECT_STREQ(view.faceName, "MS Sans Serif");

    const ExpectedControl expected[] = {
        {"COMBOBOX", 6000, {12, 63, 242, 143}, WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, "", 0},
        {"STATIC", -1, {54, 26, 172, 34}, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP, "More than one modem was detected.", 0},
        {"STATIC", -1, {54, 38, 162, 46}, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP, "Please select a modem for testing.", 0},
        {"STATIC", -1, {14, 25, 35, 45}, WS_CHILD | WS_VISIBLE | SS_ICON, "", 6001},
    };
    ASSERT_EQ(view.controls.size(), std::size(expected));
    std::set<HWND> handles{panel.GetSafeHwnd(), host.Handle()};
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const auto& control = view.controls[i];
        EXPECT_STREQ(control.className, expected[i].className);
        EXPECT_EQ(control.id, expected[i].id);
        EXPECT_EQ(control.rect.left, expected[i].rect.left);
        EXPECT_EQ(control.rect.top, expected[i].rect.top);
        EXPECT_EQ(control.rect.right, expected[i].rect.right);
        EXPECT_EQ(control.rect.bottom, expected[i].rect.bottom);
        EXPECT_EQ(control.style, expected[i].style);
        EXPECT_STREQ(control.text, expected[i].text);
        EXPECT_EQ(control.iconId, expected[i].iconId);
        // Each control is a window of its own, a child of the dialog.
        EXPECT_TRUE(IsWindow(control.hwnd));
        EXPECT_EQ(GetParent(control.hwnd), panel.GetSafeHwnd());
        EXPECT_TRUE(handles.insert(control.hwnd).second);
        CWnd* wnd = CWnd::FromHandle(control.hwnd);
        ASSERT_NE(wnd, nullptr);
        EXPECT_EQ(wnd->GetDlgCtrlID(), expected[i].id);
        EXPECT_EQ(wnd->GetParent(), &panel);
        CString text;
        wnd->GetWindowText(text);
#if defined(_WIN32)
        // The system's icon static keeps the template's resource ordinal as its text.
        if (expected[i].iconId != 0)
            continue;
#endif
        EXPECT_STREQ(text, expected[i].text);
    }
    // The list is the host's member, found by id.
    EXPECT_EQ(panel.m_list.GetSafeHwnd(), view.controls[0].hwnd);
    EXPECT_EQ(panel.GetDlgItem(IDC_MODEM_LIST), &panel.m_list);
    EXPECT_EQ(panel.GetDlgItem(4321), nullptr);
}

TEST(PlatformDialog, ComboBoxMessagesGiveWindowsResultsAndSettingTheSelectionNotifiesNobody)
{
    HostWindow host;
    TestPanel panel(host.Wnd());
    ASSERT_TRUE(panel.Create(IDD_MODEM_SELECT, host.Wnd()));
    HWND combo = panel.m_list.GetSafeHwnd();

    EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);
    // Not sorted: each string goes to the end.
    EXPECT_EQ(Add(combo, "Zeta"), 0);
    EXPECT_EQ(Add(combo, "Alpha"), 1);
    EXPECT_EQ(Add(combo, "Mu"), 2);
    EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 3);
    EXPECT_EQ(ItemText(combo, 0), "Zeta");
    EXPECT_EQ(ItemText(combo, 1), "Alpha");
    EXPECT_EQ(SendMessageA(combo, CB_GETLBTEXTLEN, 1, 0), 5);
    EXPECT_EQ(SendMessageA(combo, CB_GETLBTEXTLEN, 3, 0), CB_ERR);
    EXPECT_EQ(ItemText(combo, 3), "<CB_ERR>");

    EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 1, 0), 1);
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 1);
    CString shown;
    panel.m_list.GetWindowText(shown);
    EXPECT_STREQ(shown, "Alpha");
    // Out of range, or -1: CB_ERR and no selection left (Wine's own combo
    // box, the system's there, keeps it when out of range).
    EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 3, 0), CB_ERR);
#if !defined(_WIN32)
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);
#endif
    EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 2, 0), 2);
    EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(-1), 0), CB_ERR);
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);

    // Inserting before the selection moves it with its entry; deleting it
    // clears it. CB_DELETESTRING answers the count left.
    EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 1, 0), 1);
    EXPECT_EQ(SendMessageA(combo, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>("First")), 0);
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(SendMessageA(combo, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("Last")), 4);
    EXPECT_EQ(SendMessageA(combo, CB_INSERTSTRING, 9, reinterpret_cast<LPARAM>("Nowhere")), CB_ERR);
    EXPECT_EQ(SendMessageA(combo, CB_DELETESTRING, 2, 0), 4);
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(SendMessageA(combo, CB_DELETESTRING, 4, 0), CB_ERR);
    EXPECT_EQ(ItemText(combo, 3), "Last");

    // The same through CComboBox.
    EXPECT_EQ(panel.m_list.SetCurSel(0), 0);
    CString first;
    panel.m_list.GetLBText(0, first);
    EXPECT_STREQ(first, "First");
#if defined(_WIN32)
    SendMessageA(combo, CB_RESETCONTENT, 0, 0);  // Wine answers TRUE, Windows CB_OKAY
#else
    EXPECT_EQ(SendMessageA(combo, CB_RESETCONTENT, 0, 0), CB_OKAY);
#endif
    EXPECT_EQ(panel.m_list.GetCount(), 0);
    EXPECT_EQ(panel.m_list.GetCurSel(), CB_ERR);

    // None of it was a user's choice.
    EXPECT_TRUE(panel.m_changes.empty());
}

TEST(PlatformDialog, AUsersChoiceReachesTheHostsMessageMapFromAnyThread)
{
    HostWindow host;
    TestPanel panel(host.Wnd(), {"Alpha", "Beta", "Gamma"});
    ASSERT_TRUE(panel.Create(IDD_MODEM_SELECT, host.Wnd()));
    HWND combo = panel.m_list.GetSafeHwnd();
    EXPECT_EQ(panel.m_list.GetCurSel(), 0);
    EXPECT_TRUE(panel.m_changes.empty());

    EXPECT_TRUE(tavrin::ui::ChooseComboEntry(combo, 2));
    EXPECT_EQ(panel.m_changes, (std::vector<int>{2}));
    EXPECT_FALSE(tavrin::ui::ChooseComboEntry(combo, 3));
    EXPECT_FALSE(tavrin::ui::ChooseComboEntry(combo, -1));
    tavrin::ui::DialogView view;
    ASSERT_TRUE(tavrin::ui::GetDialogView(panel.GetSafeHwnd(), view));
    EXPECT_FALSE(tavrin::ui::ChooseComboEntry(view.controls[1].hwnd, 0));  // a static
    EXPECT_STREQ(view.controls[0].text, "Gamma");
    EXPECT_EQ(panel.m_changes, (std::vector<int>{2}));

    // From another thread the choice is sent to this one, which handles it
    // while it waits.
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL chosen = FALSE;
    std::thread user([&] {
        chosen = tavrin::ui::ChooseComboEntry(combo, 1);
        SetEvent(done);
    });
    DWORD wait;
    do {
        wait = MsgWaitForMultipleObjects(1, &done, FALSE, 5000, QS_SENDMESSAGE);
        // Windows' wait reports the sent message rather than handling it.
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    } while (wait == WAIT_OBJECT_0 + 1);
    user.join();
    CloseHandle(done);
    ASSERT_EQ(wait, WAIT_OBJECT_0);
    EXPECT_TRUE(chosen);
    EXPECT_EQ(panel.m_changes, (std::vector<int>{2, 1}));
}

TEST(PlatformDialog, TwoPanelsInTwoParentsAreIndependent)
{
    HostWindow first, second;
    TestPanel a(first.Wnd(), {"A1", "A2"});
    TestPanel b(second.Wnd(), {"B1", "B2", "B3"});
    ASSERT_TRUE(a.Create(IDD_MODEM_SELECT, first.Wnd()));
    ASSERT_TRUE(b.Create(IDD_MODEM_SELECT, second.Wnd()));
    EXPECT_NE(a.GetSafeHwnd(), b.GetSafeHwnd());
    EXPECT_NE(a.m_list.GetSafeHwnd(), b.m_list.GetSafeHwnd());
    EXPECT_EQ(GetParent(b.GetSafeHwnd()), second.Handle());

    EXPECT_TRUE(tavrin::ui::ChooseComboEntry(b.m_list.GetSafeHwnd(), 2));
    EXPECT_EQ(b.m_changes, (std::vector<int>{2}));
    EXPECT_TRUE(a.m_changes.empty());
    EXPECT_EQ(a.m_list.GetCount(), 2);
    EXPECT_EQ(a.m_list.GetCurSel(), 0);

    ASSERT_TRUE(DestroyWindow(first.Handle()));
    EXPECT_FALSE(IsWindow(a.GetSafeHwnd()));
    EXPECT_TRUE(IsWindow(b.GetSafeHwnd()));
    EXPECT_EQ(b.m_list.GetCount(), 3);
}

TEST(PlatformDialog, DestroyingTheParentTakesThePanelAndLeavesTheObjectsSafe)
{
    HostWindow host;
    auto panel = std::make_unique<TestPanel>(host.Wnd(), std::vector<std::string>{"Alpha"});
    ASSERT_TRUE(panel->Create(IDD_MODEM_SELECT, host.Wnd()));
    tavrin::ui::DialogView view;
    ASSERT_TRUE(tavrin::ui::GetDialogView(panel->GetSafeHwnd(), view));
    HWND dialog = panel->GetSafeHwnd();

    ASSERT_TRUE(DestroyWindow(host.Handle()));
    EXPECT_FALSE(IsWindow(dialog));
    for (const auto& control : view.controls)
        EXPECT_FALSE(IsWindow(control.hwnd));
    EXPECT_EQ(panel->GetSafeHwnd(), nullptr);
    EXPECT_EQ(panel->m_list.GetSafeHwnd(), nullptr);
    EXPECT_FALSE(tavrin::ui::GetDialogView(dialog, view));
    EXPECT_FALSE(tavrin::ui::ChooseComboEntry(view.controls[0].hwnd, 0));
    EXPECT_EQ(panel->m_list.GetCount(), 0);
    panel.reset();

    // The other way round: the object goes first and takes its windows,
    // the host's window stays.
    HostWindow other;
    panel = std::make_unique<TestPanel>(other.Wnd());
    ASSERT_TRUE(panel->Create(IDD_MODEM_SELECT, other.Wnd()));
    dialog = panel->GetSafeHwnd();
    HWND combo = panel->m_list.GetSafeHwnd();
    panel.reset();
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_FALSE(IsWindow(combo));
    EXPECT_TRUE(IsWindow(other.Handle()));
}

TEST(PlatformDialog, CreateRefusesWhatItCannotBuildAndTheObjectStaysUsable)
{
    HostWindow host;
    auto panel = std::make_unique<TestPanel>(host.Wnd());
    EXPECT_FALSE(panel->Create(4242, host.Wnd()));
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(panel->GetSafeHwnd(), nullptr);
    EXPECT_EQ(panel->m_initCalls, 0);
    // A child template needs a parent window.
    EXPECT_FALSE(panel->Create(IDD_MODEM_SELECT, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_TLW_WITH_WSCHILD);
    // A parent owned by another thread is refused.
    // (Its window lives as long as that thread does.)
    HWND foreign = nullptr;
    HANDLE created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        foreign = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
        SetEvent(created);
        WaitForSingleObject(release, 10000);
    });
    ASSERT_EQ(WaitForSingleObject(created, 5000), WAIT_OBJECT_0);
    CWnd foreignWnd;
    foreignWnd.Attach(foreign);
    EXPECT_FALSE(panel->Create(IDD_MODEM_SELECT, &foreignWnd));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    foreignWnd.Detach();
    SetEvent(release);
    owner.join();
    CloseHandle(created);
    CloseHandle(release);
    EXPECT_EQ(panel->m_initCalls, 0);

    ASSERT_TRUE(panel->Create(IDD_MODEM_SELECT, host.Wnd()));
    EXPECT_EQ(panel->m_initCalls, 1);
    EXPECT_FALSE(panel->Create(IDD_MODEM_SELECT, host.Wnd()));  // it has its window already
    panel.reset();
}

TEST(PlatformDialog, WindowsParentsRefuseCyclesAndForeignThreads)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the POSIX backend's SetParent: Windows' own returns the message-only parent and takes any thread's window";
#endif
    HWND a = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
    HWND b = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
    EXPECT_EQ(SetParent(b, a), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(GetParent(b), a);
    EXPECT_EQ(SetParent(a, b), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetParent(a), nullptr);
    EXPECT_EQ(SetParent(b, nullptr), a);
    EXPECT_TRUE(DestroyWindow(a));
    EXPECT_TRUE(IsWindow(b));
    EXPECT_TRUE(DestroyWindow(b));
}

TEST(PlatformDialog, TheEmbeddedIconIsA32By32SixteenColourImageWithAMask)
{
    tavrin::ui::IconImage icon;
    ASSERT_TRUE(tavrin::ui::LoadIconImage(IDI_MODEM, icon));
    EXPECT_EQ(icon.width, 32);
    EXPECT_EQ(icon.height, 32);
    ASSERT_EQ(icon.palette.size(), 16u);
    // The standard VGA palette: black first, bright blue twelfth, white last.
    EXPECT_EQ(icon.palette[0].red + icon.palette[0].green + icon.palette[0].blue, 0);
    EXPECT_EQ(icon.palette[12].blue, 255);
    EXPECT_EQ(icon.palette[12].red, 0);
    EXPECT_EQ(icon.palette[15].red & icon.palette[15].green & icon.palette[15].blue, 255);
    ASSERT_EQ(icon.pixels.size(), 32u * 32u);
    ASSERT_EQ(icon.mask.size(), 32u * 32u);
    size_t transparent = 0;
    std::set<int> colours;
    for (size_t i = 0; i < icon.pixels.size(); ++i) {
        EXPECT_LT(icon.pixels[i], 16);
        transparent += icon.mask[i];
        if (!icon.mask[i])
            colours.insert(icon.pixels[i]);
    }
    EXPECT_GT(transparent, 0u);
    EXPECT_LT(transparent, icon.mask.size());
    EXPECT_GE(colours.size(), 5u);
    // The corners are background, the middle is drawn.
    EXPECT_EQ(icon.mask[0], 1);
    EXPECT_EQ(icon.mask[16 * 32 + 16], 0);

    EXPECT_FALSE(tavrin::ui::LoadIconImage(IDD_MODEM_SELECT + 100, icon));
}
