// The panel in a terminal: a user on a pipe (lines) and on a real
// pseudo-terminal (keys), and what the dialog's owner heard.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "PanelTerminal.h"
#include "support/PtyPair.h"
#include "support/TestPanel.h"

using tavrin::test::HostWindow;
using tavrin::test::PtyPair;
using tavrin::test::TestPanel;
using tavrin::tool::PanelTerminalOptions;
using tavrin::tool::PresentDialogInTerminal;

namespace {

const char kFirstText[] = "More than one modem was detected.";
const char kSecondText[] = "Please select a modem for testing.";

// Runs the presentation with `input` on a pipe and its output in a file.
int PresentOverPipe(CDialog& dialog, const std::string& input, std::string& output)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -2;
    // The whole input fits the pipe, so it is written before the panel reads.
    EXPECT_EQ(write(pipeFds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(pipeFds[1]);
    char path[] = "/tmp/panel_terminal_XXXXXX";
    const int out = mkstemp(path);
    unlink(path);
    const int result = PresentDialogInTerminal(dialog, pipeFds[0], out);
    close(pipeFds[0]);
    output.clear();
    lseek(out, 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(out, buffer, sizeof buffer)) > 0)
        output.append(buffer, static_cast<size_t>(n));
    close(out);
    return result;
}

// Positions of the texts in output, in order; npos when one is missing or
// out of order.
bool InOrder(const std::string& output, std::initializer_list<const char*> texts)
{
    size_t from = 0;
    for (const char* text : texts) {
        const size_t at = output.find(text, from);
        if (at == std::string::npos)
            return false;
        from = at + 1;
    }
    return true;
}

// Reads the far end of the pty until `pattern` has come after `from`.
bool WaitFor(PtyPair& pty, std::string& seen, const std::string& pattern, size_t from)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.find(pattern, from) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        seen += pty.ReadFar(1, static_cast<int>(left));
    }
    return true;
}

}  // namespace

TEST(ToolPanelTerminal, LinesFromAPipeChooseByNumberAndAnEmptyLineAccepts)
{
    HostWindow host;
    TestPanel panel(host.Wnd(), {"Alpha", "Beta", "Gamma"});
    ASSERT_TRUE(panel.Create(IDD_MODEM_SELECT, host.Wnd()));

    std::string output;
    // 7 is no entry; 2 again is no change; the empty line accepts, and the
    // last line is never read.
    EXPECT_EQ(PresentOverPipe(panel, "3\n7\n2\n2\n\n1\n", output), 1);
    EXPECT_EQ(panel.m_changes, (std::vector<int>{2, 1}));
    EXPECT_EQ(panel.m_list.GetCurSel(), 1);
    // Plain text: the frame with both texts, then the list in order with the
    // first entry marked, then each change.
    EXPECT_EQ(output.find("\x1b["), std::string::npos);
    EXPECT_TRUE(InOrder(output, {kFirstText, kSecondText, "> 1. Alpha", "  2. Beta", "  3. Gamma",
                                 "Selected: 3. Gamma", "No entry \"7\"", "Selected: 2. Beta"}))
        << output;
    // The texts are on the rows the template puts them: the first above the
    // second, both right of the icon and left-aligned in one column.
    const size_t first = output.find(kFirstText), second = output.find(kSecondText);
    const size_t firstColumn = first - output.rfind('\n', first), secondColumn = second - output.rfind('\n', second);
    EXPECT_EQ(firstColumn, secondColumn);
    EXPECT_GT(firstColumn, 16u);

    // The end of the input accepts too; q cancels.
    EXPECT_EQ(PresentOverPipe(panel, "3", output), 2);
    EXPECT_EQ(panel.m_changes, (std::vector<int>{2, 1, 2}));
    EXPECT_EQ(PresentOverPipe(panel, "1\nq\n", output), -1);
    EXPECT_EQ(panel.m_changes, (std::vector<int>{2, 1, 2, 0}));
}

TEST(ToolPanelTerminal, KeysOnAPseudoTerminalMoveTheSelectionAndEnterAccepts)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const int terminal = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);

    HostWindow host;
    TestPanel panel(host.Wnd(), {"Alpha", "Beta", "Gamma"});
    ASSERT_TRUE(panel.Create(IDD_MODEM_SELECT, host.Wnd()));

    // The user: waits for the panel, presses Down, waits for the redraw,
    // presses Enter. On any failure it hangs up, which cancels the panel.
    std::string seen;
    bool userOk = false;
    std::thread user([&] {
        if (WaitFor(pty, seen, "Enter to accept", 0)) {
            const size_t drawn = seen.size();
            if (pty.WriteFar("\x1b[B") && WaitFor(pty, seen, "> 2. Beta", drawn) &&
                WaitFor(pty, seen, "Enter to accept", drawn)) {
                userOk = pty.WriteFar("\r");
            }
        }
        if (!userOk)
            pty.CloseFar();
    });
    PanelTerminalOptions options;
    options.colour = 1;
    const int result = PresentDialogInTerminal(panel, terminal, terminal, options);
    user.join();
    close(terminal);

    ASSERT_TRUE(userOk) << seen;
    EXPECT_EQ(result, 1);
    EXPECT_EQ(panel.m_changes, (std::vector<int>{1}));
    EXPECT_TRUE(InOrder(seen, {kFirstText, kSecondText, "1. Alpha", "2. Beta", "3. Gamma"})) << seen;
    // Colours: the icon in half blocks, the selected entry in reverse video.
    EXPECT_NE(seen.find("\u2580"), std::string::npos);
    EXPECT_NE(seen.find("\x1b[0;7m> 1. Alpha"), std::string::npos);
    EXPECT_NE(seen.find("\x1b[0;7m> 2. Beta"), std::string::npos);
}

TEST(ToolPanelTerminal, QOnAPseudoTerminalCancelsAndDigitsPickDirectly)
{
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const int terminal = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);

    HostWindow host;
    TestPanel panel(host.Wnd(), {"Alpha", "Beta", "Gamma"});
    ASSERT_TRUE(panel.Create(IDD_MODEM_SELECT, host.Wnd()));

    std::string seen;
    bool userOk = false;
    std::thread user([&] {
        if (WaitFor(pty, seen, "Enter to accept", 0)) {
            const size_t drawn = seen.size();
            // Up at the top moves nothing; 3 picks the last; 9 is no entry.
            if (pty.WriteFar("\x1b[A39") && WaitFor(pty, seen, "> 3. Gamma", drawn))
                userOk = pty.WriteFar("q");
        }
        if (!userOk)
            pty.CloseFar();
    });
    PanelTerminalOptions options;
    options.colour = 0;
    const int result = PresentDialogInTerminal(panel, terminal, terminal, options);
    user.join();
    close(terminal);

    ASSERT_TRUE(userOk) << seen;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(panel.m_changes, (std::vector<int>{2}));
    EXPECT_EQ(seen.find("\u2580"), std::string::npos);
    EXPECT_TRUE(InOrder(seen, {kFirstText, kSecondText, "> 1. Alpha"})) << seen;
}
