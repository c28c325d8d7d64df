// The modem selection panel as a host uses it: CreateConfig inside the
// host's window, the list of the listed modems, the first one selected at
// once, a user's choice selecting another, panels replaced and copied.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <string>
#include <vector>

#include "support/TestPanel.h"
#if defined(_WIN32)
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "support/PngFile.h"
#include "support/WineRegistry.h"
#endif

using tavrin::test::HostWindow;

namespace {

const char kSection[] = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem\\";

void LoadModems(const std::vector<std::pair<int, std::string>>& modems)
{
    std::string text = "REGEDIT4\n\n";
    for (const auto& [index, name] : modems) {
        char key[8];
        std::snprintf(key, sizeof key, "%04d", index);
        text += std::string(kSection) + key + "]\n\"Model\"=\"" + name + "\"\n\"AttachedTo\"=\"COM" +
                std::to_string(index + 1) + "\"\n\"Reset\"=\"ATZ" + std::to_string(index) + "<cr>\"\n";
        text += std::string(kSection) + key + "\\Settings]\n\"Prefix\"=\"AT\"\n\"DialPrefix\"=\"D\"\n\"Tone\"=\"T\"\n"
                "\"Pulse\"=\"P\"\n\"SpeakerMode_Dial\"=\"M1\"\n\"SpeakerMode_OFF\"=\"M0\"\n\"Blind_Off\"=\"X" +
                std::to_string(index) + "\"\n";
    }
    std::string error;
#if defined(_WIN32)
    ASSERT_TRUE(tavrin::test::ImportRegistryText(text, error)) << error;
#else
    ASSERT_TRUE(tavrin::LoadRegistryText(text, "panel.reg", &error)) << error;
#endif
}

std::vector<std::string> Entries(CModemSelectDlg& panel)
{
    std::vector<std::string> entries;
    for (int i = 0; i < panel.m_cbModems.GetCount(); ++i) {
        CString text;
        panel.m_cbModems.GetLBText(i, text);
        entries.push_back(text.str());
    }
    return entries;
}

TEST(ModemPanel, ShowsTheListedModemsAndSelectsTheFirstAtOnce)
{
    LoadModems({{2, "Second Slot"}, {5, "Fifth Slot"}});
    HostWindow host;
    CModemManager manager;
    manager.CreateConfig(host.Wnd());
    CModemSelectDlg* panel = manager.GetConfigDlg();
    ASSERT_NE(panel, nullptr);
    ASSERT_TRUE(IsWindow(panel->GetSafeHwnd()));
    EXPECT_EQ(panel->GetParent()->GetSafeHwnd(), host.Handle());
    EXPECT_EQ(panel->m_pManager, &manager);
    EXPECT_EQ(Entries(*panel), (std::vector<std::string>{"Second Slot", "Fifth Slot"}));
    EXPECT_EQ(panel->m_cbModems.GetCurSel(), 0);

    // Selected before CreateConfig returned, with the speaker off.
    EXPECT_EQ(manager.GetModemIndex(), 2);
    EXPECT_EQ(manager.GetComPort().str(), "COM3");
    EXPECT_EQ(manager.GetINIT().str(), "ATM0X2V1<cr>");
    EXPECT_EQ(manager.GetRESET().str(), "ATZ2<cr>");

    // The template's texts, icon and positions.
    tavrin::ui::DialogView view;
    ASSERT_TRUE(tavrin::ui::GetDialogView(panel->GetSafeHwnd(), view));
    EXPECT_EQ(view.templateId, static_cast<UINT>(IDD_MODEM_SELECT));
    ASSERT_EQ(view.controls.size(), 4u);
    EXPECT_EQ(view.controls[0].id, IDC_MODEM_LIST);
    EXPECT_EQ(view.controls[0].text.str(), "Second Slot");
    EXPECT_EQ(view.controls[1].text.str(), "More than one modem was detected.");
    EXPECT_EQ(view.controls[2].text.str(), "Please select a modem for testing.");
    EXPECT_EQ(view.controls[3].iconId, static_cast<UINT>(IDI_MODEM));
    EXPECT_EQ(view.controls[3].rect.left, 14);
    EXPECT_EQ(view.controls[3].rect.top, 25);

    // The user picks the second entry.
    ASSERT_TRUE(tavrin::ui::ChooseComboEntry(panel->m_cbModems.GetSafeHwnd(), 1));
    EXPECT_EQ(manager.GetModemIndex(), 5);
    EXPECT_EQ(manager.GetComPort().str(), "COM6");
    EXPECT_EQ(manager.GetDIALTONE().str(), "ATM1DT<#><cr>");
    // A selection set by the program is not a user's choice: nothing moves.
    panel->m_cbModems.SetCurSel(0);
    EXPECT_EQ(manager.GetModemIndex(), 5);
}

TEST(ModemPanel, AHiddenModemNeverShowsAndPositionsStillMatchOrdinals)
{
    LoadModems({{0, "Alpha"}, {1, "Varnoquel Monitor"}, {3, "Gamma"}, {4, "Standard Varnoquel (x)"}, {7, "varnoquel"}});
    HostWindow host;
    CModemManager manager;
    manager.CreateConfig(host.Wnd());
    CModemSelectDlg* panel = manager.GetConfigDlg();
    ASSERT_NE(panel, nullptr);
    const auto entries = Entries(*panel);
    EXPECT_EQ(entries, (std::vector<std::string>{"Alpha", "Gamma", "varnoquel"}));
    ASSERT_EQ(static_cast<int>(entries.size()), manager.GetModemCount());
    for (int position = 0; position < static_cast<int>(entries.size()); ++position) {
        ASSERT_TRUE(tavrin::ui::ChooseComboEntry(panel->m_cbModems.GetSafeHwnd(), position));
        EXPECT_EQ(manager.GetModemIndex(), manager.NumToIndex(position));
        EXPECT_EQ(manager.GetModemName(manager.GetModemIndex()).str(), entries[static_cast<size_t>(position)]);
    }
}

TEST(ModemPanel, ASecondPanelReplacesTheFirstAndSelectsTheFirstModemAgain)
{
    LoadModems({{2, "Second Slot"}, {5, "Fifth Slot"}});
    HostWindow first, second;
    CModemManager manager;
    manager.CreateConfig(first.Wnd());
    CModemSelectDlg* old = manager.GetConfigDlg();
    ASSERT_NE(old, nullptr);
    const HWND oldWindow = old->GetSafeHwnd();
    ASSERT_TRUE(tavrin::ui::ChooseComboEntry(old->m_cbModems.GetSafeHwnd(), 1));
    ASSERT_EQ(manager.GetModemIndex(), 5);

    manager.CreateConfig(second.Wnd());
    EXPECT_FALSE(IsWindow(oldWindow));
    CModemSelectDlg* panel = manager.GetConfigDlg();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->GetParent()->GetSafeHwnd(), second.Handle());
    EXPECT_EQ(panel->m_cbModems.GetCurSel(), 0);
    EXPECT_EQ(manager.GetModemIndex(), 2);
}

TEST(ModemPanel, WithNoListedModemTheListIsEmptyAndNothingIsSelected)
{
    LoadModems({{1, "Varnoquel Monitor"}});
    HostWindow host;
    CModemManager manager;
    manager.CreateConfig(host.Wnd());
    CModemSelectDlg* panel = manager.GetConfigDlg();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->m_cbModems.GetCount(), 0);
    EXPECT_EQ(panel->m_cbModems.GetCurSel(), CB_ERR);
    EXPECT_EQ(manager.GetModemIndex(), -1);
    EXPECT_EQ(manager.IsEmptyComName(), 1);
    tavrin::ui::DialogView view;
    ASSERT_TRUE(tavrin::ui::GetDialogView(panel->GetSafeHwnd(), view));
    EXPECT_EQ(view.controls[1].text.str(), "More than one modem was detected.");
}

TEST(ModemPanel, UpdateContentWithoutAPanelFillsWhatThePanelWould)
{
    LoadModems({{6, "Only One"}});
    CModemManager direct;
    direct.UpdateContent(0);
    HostWindow host;
    CModemManager viaPanel;
    viaPanel.CreateConfig(host.Wnd());
    EXPECT_EQ(direct.GetModemIndex(), 6);
    EXPECT_EQ(direct.GetModemIndex(), viaPanel.GetModemIndex());
    EXPECT_EQ(direct.GetINIT().str(), viaPanel.GetINIT().str());
    EXPECT_EQ(direct.GetRESET().str(), viaPanel.GetRESET().str());
    EXPECT_EQ(direct.GetDIALTONE().str(), viaPanel.GetDIALTONE().str());
    EXPECT_EQ(direct.GetDIALPULSE().str(), viaPanel.GetDIALPULSE().str());
    EXPECT_EQ(direct.GetComPort().str(), viaPanel.GetComPort().str());
    EXPECT_EQ(direct.GetComPort().str(), "COM7");
}

TEST(ModemPanel, CopiesNeverShareThePanel)
{
    LoadModems({{2, "Second Slot"}, {5, "Fifth Slot"}});
    HostWindow host;
    CModemManager manager;
    manager.CreateConfig(host.Wnd());
    CModemSelectDlg* panel = manager.GetConfigDlg();
    ASSERT_NE(panel, nullptr);
    {
        CModemManager copy(manager);
        EXPECT_EQ(copy.GetConfigDlg(), nullptr);
        EXPECT_EQ(copy.GetModemIndex(), 2);
        CModemManager assigned;
        HostWindow other;
        assigned.CreateConfig(other.Wnd());
        CModemSelectDlg* own = assigned.GetConfigDlg();
        assigned = manager;
        // The assigned manager keeps its own panel, which still calls it.
        EXPECT_EQ(assigned.GetConfigDlg(), own);
        ASSERT_TRUE(tavrin::ui::ChooseComboEntry(own->m_cbModems.GetSafeHwnd(), 1));
        EXPECT_EQ(assigned.GetModemIndex(), 5);
        EXPECT_EQ(manager.GetModemIndex(), 2);
    }
    // The copies are gone; the original's panel still works and is its own.
    ASSERT_TRUE(IsWindow(panel->GetSafeHwnd()));
    ASSERT_TRUE(tavrin::ui::ChooseComboEntry(panel->m_cbModems.GetSafeHwnd(), 1));
    EXPECT_EQ(manager.GetModemIndex(), 5);
}

TEST(ModemPanel, AHostThatDestroysItsWindowLeavesThePanelToTheManager)
{
    LoadModems({{2, "Second Slot"}, {5, "Fifth Slot"}});
    auto host = std::make_unique<HostWindow>();
    auto manager = std::make_unique<CModemManager>();
    manager->CreateConfig(host->Wnd());
    CModemSelectDlg* panel = manager->GetConfigDlg();
    ASSERT_NE(panel, nullptr);
    const HWND panelWindow = panel->GetSafeHwnd();
    const HWND listWindow = panel->m_cbModems.GetSafeHwnd();
    DestroyWindow(host->Handle());
    EXPECT_FALSE(IsWindow(panelWindow));
    EXPECT_FALSE(IsWindow(listWindow));
    EXPECT_EQ(manager->GetConfigDlg(), panel);
    EXPECT_FALSE(tavrin::ui::ChooseComboEntry(listWindow, 1));
    EXPECT_EQ(manager->GetModemIndex(), 2);
    manager.reset();  // deletes the panel whose window is gone
    host.reset();
}

#if defined(_WIN32)
// What a host's user sees on Windows: the panel inside a top-level window
// of the host's, on the display (Xvfb under Wine).
class ShownHost {
public:
    ShownHost()
    {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = "TavrinPanelHost";
        RegisterClassExA(&wc);
        m_hWnd = CreateWindowExA(0, "TavrinPanelHost", "Modems", WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE | WS_CLIPCHILDREN,
                                 0, 0, 440, 340, nullptr, nullptr, wc.hInstance, nullptr);
        m_wnd.Attach(m_hWnd);
    }
    ~ShownHost()
    {
        m_wnd.Detach();
        if (IsWindow(m_hWnd))
            DestroyWindow(m_hWnd);
    }
    ShownHost(const ShownHost&) = delete;
    ShownHost& operator=(const ShownHost&) = delete;
    HWND Handle() const { return m_hWnd; }
    CWnd* Wnd() { return &m_wnd; }

private:
    HWND m_hWnd;
    CWnd m_wnd;
};

std::string ClassOf(HWND window)
{
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// Where a window is inside its parent's client area, in pixels.
RECT PlaceInParent(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

RECT Pixels(HWND dialog, RECT units)
{
    MapDialogRect(dialog, &units);
    return units;
}

TEST(ModemPanel, OnWindowsThePanelIsARealDialogOfTheSystemsControls)
{
    LoadModems({{2, "Second Slot"}, {5, "Fifth Slot"}});
    ShownHost host;
    ASSERT_TRUE(IsWindow(host.Handle()));
    CModemManager manager;
    manager.CreateConfig(host.Wnd());
    CModemSelectDlg* panel = manager.GetConfigDlg();
    ASSERT_NE(panel, nullptr);
    const HWND dialog = panel->GetSafeHwnd();
    ASSERT_TRUE(IsWindow(dialog));
    EXPECT_EQ(ClassOf(dialog), "#32770");
    EXPECT_EQ(GetParent(dialog), host.Handle());
    EXPECT_TRUE(IsWindowVisible(dialog));

    tavrin::ui::DialogView view;
    ASSERT_TRUE(tavrin::ui::GetDialogView(dialog, view));
    ASSERT_EQ(view.controls.size(), 4u);
    const char* const classes[] = {"ComboBox", "Static", "Static", "Static"};
    for (size_t i = 0; i < view.controls.size(); ++i) {
        const auto& control = view.controls[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(ClassOf(control.hwnd), classes[i]);
        EXPECT_EQ(GetParent(control.hwnd), dialog);
        const RECT expected = Pixels(dialog, control.rect);
        const RECT actual = PlaceInParent(control.hwnd);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        // A drop-down list is as high as its closed field; an icon static
        // takes the icon's size.
        if (control.className.CompareNoCase("COMBOBOX") == 0)
            EXPECT_EQ(actual.right, expected.right);
        else if (control.iconId == 0)
            EXPECT_EQ(actual.bottom, expected.bottom);
    }
    EXPECT_EQ(GetDlgCtrlID(view.controls[0].hwnd), IDC_MODEM_LIST);
    EXPECT_EQ(view.controls[0].hwnd, panel->m_cbModems.GetSafeHwnd());
    EXPECT_NE(SendMessageA(view.controls[3].hwnd, STM_GETICON, 0, 0), 0);

    // The system's combo box holds what the catalogue lists.
    const HWND combo = view.controls[0].hwnd;
    ASSERT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 2);
    const char* const names[] = {"Second Slot", "Fifth Slot"};
    for (int i = 0; i < 2; ++i) {
        char text[64] = "";
        EXPECT_EQ(SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text)),
                  static_cast<LRESULT>(std::strlen(names[i])));
        EXPECT_STREQ(text, names[i]);
    }
    char shown[64] = "";
    GetWindowTextA(view.controls[1].hwnd, shown, sizeof shown);
    EXPECT_STREQ(shown, "More than one modem was detected.");

    DestroyWindow(host.Handle());
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_FALSE(IsWindow(combo));
    EXPECT_EQ(panel->GetSafeHwnd(), nullptr);
}

TEST(ModemPanel, OnWindowsTheComboBoxsOwnNotificationSelectsTheModem)
{
    LoadModems({{2, "Second Slot"}, {5, "Fifth Slot"}, {6, "Sixth Slot"}});
    ShownHost host;
    CModemManager manager;
    manager.CreateConfig(host.Wnd());
    CModemSelectDlg* panel = manager.GetConfigDlg();
    ASSERT_NE(panel, nullptr);
    const HWND combo = panel->m_cbModems.GetSafeHwnd();
    ASSERT_EQ(manager.GetModemIndex(), 2);
    // A program's selection is no user's choice.
    EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 2, 0), 2);
    EXPECT_EQ(manager.GetModemIndex(), 2);
    // The keys a user presses in the closed list: the control moves its
    // selection and sends CBN_SELCHANGE to the dialog itself.
    struct Key {
        WPARAM key;
        int position;
        int modem;
    };
    for (const Key& step : {Key{VK_UP, 1, 5}, Key{VK_HOME, 0, 2}, Key{VK_END, 2, 6}}) {
        SendMessageA(combo, WM_KEYDOWN, step.key, 0);
        EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), step.position);
        EXPECT_EQ(manager.GetModemIndex(), step.modem);
    }
}

TEST(ModemPanel, OnWindowsTheScreenshotShowsTheTextsTheIconAndTheList)
{
    LoadModems({{2, "Second Slot"}, {5, "Fifth Slot"}});
    ShownHost host;
    CModemManager manager;
    manager.CreateConfig(host.Wnd());
    CModemSelectDlg* panel = manager.GetConfigDlg();
    ASSERT_NE(panel, nullptr);
    const HWND dialog = panel->GetSafeHwnd();
    RedrawWindow(host.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);

    RECT client;
    GetClientRect(host.Handle(), &client);
    const int width = client.right, height = client.bottom;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC screen = GetDC(host.Handle());
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(bitmap, nullptr);
    HGDIOBJ old = SelectObject(memory, bitmap);
    ASSERT_TRUE(BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY));
    GdiFlush();
    std::vector<std::uint32_t> shot(static_cast<const std::uint32_t*>(bits),
                                    static_cast<const std::uint32_t*>(bits) + width * height);
    for (auto& p : shot)
        p &= 0xFFFFFFu;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(host.Handle(), screen);
    ASSERT_TRUE(tavrin::test::WritePng("modem_panel.png", width, height, shot));

    auto at = [&](int x, int y) { return shot[static_cast<size_t>(y * width + x)]; };
    auto rgb = [](COLORREF c) { return static_cast<std::uint32_t>((GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c)); };
    const std::uint32_t face = rgb(GetSysColor(COLOR_BTNFACE));
    // Pixels of a rectangle of the host's client area that differ from the face.
    auto marked = [&](RECT r) {
        int count = 0;
        for (int y = std::max(0L, r.top); y < std::min<LONG>(height, r.bottom); ++y)
            for (int x = std::max(0L, r.left); x < std::min<LONG>(width, r.right); ++x)
                count += at(x, y) != face;
        return count;
    };
    tavrin::ui::DialogView view;
    ASSERT_TRUE(tavrin::ui::GetDialogView(dialog, view));
    auto inHost = [&](HWND window) {
        RECT r;
        GetWindowRect(window, &r);
        MapWindowPoints(nullptr, host.Handle(), reinterpret_cast<POINT*>(&r), 2);
        return r;
    };
    // The two texts and the list's field are drawn...
    EXPECT_GT(marked(inHost(view.controls[1].hwnd)), 50);
    EXPECT_GT(marked(inHost(view.controls[2].hwnd)), 50);
    EXPECT_GT(marked(inHost(view.controls[0].hwnd)), 100);
    // ...and the panel's text-free parts are the face: above the texts,
    // and below the closed list.
    RECT above = Pixels(dialog, RECT{0, 0, 250, 24});
    RECT below = Pixels(dialog, RECT{0, 80, 250, 170});
    const RECT origin = inHost(dialog);
    OffsetRect(&above, origin.left, origin.top);
    OffsetRect(&below, origin.left, origin.top);
    EXPECT_EQ(marked(above), 0);
    EXPECT_EQ(marked(below), 0);
    // The icon, pixel for pixel where it is opaque.
    tavrin::ui::IconImage icon;
    ASSERT_TRUE(tavrin::ui::LoadIconImage(IDI_MODEM, icon));
    const RECT place = inHost(view.controls[3].hwnd);
    int opaque = 0, same = 0;
    for (int y = 0; y < icon.height; ++y)
        for (int x = 0; x < icon.width; ++x) {
            const size_t i = static_cast<size_t>(y * icon.width + x);
            if (icon.mask[i])
                continue;
            const auto& c = icon.palette[icon.pixels[i]];
            ++opaque;
            same += at(place.left + x, place.top + y) == ((std::uint32_t{c.red} << 16) | (c.green << 8) | c.blue);
        }
    ASSERT_GT(opaque, 100);
    EXPECT_EQ(same, opaque);
}
#endif

}  // namespace
