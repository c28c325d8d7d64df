// The modem selection panel as a host uses it: CreateConfig inside the
// host's window, the list of the listed modems, the first one selected at
// once, a user's choice selecting another, panels replaced and copied.
#include <gtest/gtest.h>
#include <tavrin/Tavrin.h>

#include <string>
#include <vector>

#include "support/TestPanel.h"
#if defined(_WIN32)
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

}  // namespace
