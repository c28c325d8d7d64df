// tavrin.exe modems on a Windows desktop (Wine on an Xvfb): the panel in a
// small window of the tool's own, driven with the keys a user presses.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/ChildProcess.h"
#include "support/ToolRun.h"
#include "support/WineRegistry.h"

using namespace tavrin::test;

namespace {

constexpr int kRunMs = 30000;

std::string Exit(ChildProcess& child)
{
    return "stdout:\n" + child.Stdout() + "\nstderr:\n" + child.Stderr();
}

struct Shown {
    HWND frame = nullptr;
    HWND combo = nullptr;
};

// Starts tavrin modems over the test machine's three modems and finds its
// window once the tool says it is up.
std::unique_ptr<ChildProcess> StartShown(Shown& shown)
{
    const std::string registry = std::string(TAVRIN_TEST_FIXTURES) + "/registry/";
    std::string error;
    EXPECT_TRUE(ImportRegistryFiles({registry + "modems/nt.reg", registry + "serialcomm.reg"}, error)) << error;
    auto modems = StartTavrin({"modems"});
    EXPECT_TRUE(modems->Started()) << modems->Error();
    EXPECT_TRUE(modems->WaitForStdout("in the window \"tavrin modems\"", kRunMs)) << Exit(*modems);
    shown.frame = FindWindowA("TavrinModemsFrame", "tavrin modems");
    const HWND dialog = shown.frame ? FindWindowExA(shown.frame, nullptr, "#32770", nullptr) : nullptr;
    shown.combo = dialog ? FindWindowExA(dialog, nullptr, "ComboBox", nullptr) : nullptr;
    return modems;
}

TEST(ToolWindowsPanel, OnADesktopTheChoiceIsMadeInTheToolsWindow)
{
    Shown shown;
    auto modems = StartShown(shown);
    ASSERT_NE(shown.combo, nullptr) << Exit(*modems);
    EXPECT_TRUE(IsWindowVisible(shown.frame));
    // The frame fits the panel.
    RECT client, panel;
    GetClientRect(shown.frame, &client);
    GetWindowRect(GetParent(shown.combo), &panel);
    EXPECT_EQ(client.right, panel.right - panel.left);
    EXPECT_EQ(client.bottom, panel.bottom - panel.top);
    ASSERT_EQ(SendMessageA(shown.combo, CB_GETCOUNT, 0, 0), 3);
    // Down twice, then Enter.
    SendMessageA(shown.combo, WM_KEYDOWN, VK_DOWN, 0);
    SendMessageA(shown.combo, WM_KEYDOWN, VK_DOWN, 0);
    ASSERT_TRUE(PostMessageA(shown.combo, WM_KEYDOWN, VK_RETURN, 0));
    ASSERT_EQ(modems->WaitForExit(kRunMs), 0) << Exit(*modems);
    EXPECT_NE(modems->Stdout().find("selected: 3. varnoquel"), std::string::npos) << modems->Stdout();
    // No console presentation besides.
    EXPECT_EQ(modems->Stdout().find("Please select a modem for testing."), std::string::npos) << modems->Stdout();
}

TEST(ToolWindowsPanel, EscapeCancelsAndClosingTheWindowAccepts)
{
    {
        Shown shown;
        auto modems = StartShown(shown);
        ASSERT_NE(shown.combo, nullptr) << Exit(*modems);
        SendMessageA(shown.combo, WM_KEYDOWN, VK_DOWN, 0);
        ASSERT_TRUE(PostMessageA(shown.combo, WM_KEYDOWN, VK_ESCAPE, 0));
        ASSERT_EQ(modems->WaitForExit(kRunMs), 1) << Exit(*modems);
        EXPECT_NE(modems->Stderr().find("no modem chosen"), std::string::npos) << modems->Stderr();
    }
    Shown shown;
    auto modems = StartShown(shown);
    ASSERT_NE(shown.combo, nullptr) << Exit(*modems);
    SendMessageA(shown.combo, WM_KEYDOWN, VK_DOWN, 0);
    ASSERT_TRUE(PostMessageA(shown.frame, WM_CLOSE, 0, 0));
    ASSERT_EQ(modems->WaitForExit(kRunMs), 0) << Exit(*modems);
    EXPECT_NE(modems->Stdout().find("selected: 2. USB Fax Modem"), std::string::npos) << modems->Stdout();
}

}  // namespace
