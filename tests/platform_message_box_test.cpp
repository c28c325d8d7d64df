// Message boxes: what a host's handler is given and what it answers, and the
// line on stderr that a box is without one.
#include <gtest/gtest.h>

#include <tavrin/Tavrin.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Shown {
    int count = 0;
    std::string caption, text;
    UINT type = 0, help = 0;
    int answer = 0;
};

int CALLBACK Record(LPVOID context, LPCSTR caption, LPCSTR text, UINT type, UINT help)
{
    auto* shown = static_cast<Shown*>(context);
    ++shown->count;
    shown->caption = caption;
    shown->text = text;
    shown->type = type;
    shown->help = help;
    return shown->answer;
}

// Every test leaves the boxes on stderr, as it found them.
class PlatformMessageBox : public ::testing::Test {
protected:
    void TearDown() override { SetMessageBoxHandler(nullptr, nullptr); }
};

// What the boxes shown inside body wrote to stderr.
template <class Body>
std::string StderrOf(Body body)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return "pipe failed";
    const int saved = dup(STDERR_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[1]);
    body();
    // Once the test's own copy is gone, the read ends at the last byte.
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string written;
    char buffer[512];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        written.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    return written;
}

}  // namespace

TEST_F(PlatformMessageBox, AHostHandlerGetsTheBoxAndItsAnswerIsTheResult)
{
    Shown shown;
    shown.answer = IDNO;
    SetMessageBoxHandler(Record, &shown);
    EXPECT_EQ(AfxMessageBox(IDS_SOCKETS_INIT_FAILED, MB_YESNO | MB_ICONSTOP, 4321), IDNO);
    EXPECT_EQ(shown.count, 1);
    EXPECT_EQ(shown.caption, "tavrin");
    EXPECT_EQ(shown.text, "Windows sockets initialization failed.");
    EXPECT_EQ(shown.type, MB_YESNO | MB_ICONSTOP);
    EXPECT_EQ(shown.help, 4321u);
}

TEST_F(PlatformMessageBox, AHelpContextOfMinusOneStandsForThePromptId)
{
    Shown shown;
    shown.answer = IDOK;
    SetMessageBoxHandler(Record, &shown);
    EXPECT_EQ(AfxMessageBox(IDS_SOCKETS_INIT_FAILED, 0, static_cast<UINT>(-1)), IDOK);
    EXPECT_EQ(shown.help, static_cast<UINT>(IDS_SOCKETS_INIT_FAILED));
    EXPECT_EQ(shown.type, 0u);
    EXPECT_EQ(AfxMessageBox(IDS_LOOPBACK_NAME), IDOK);
    EXPECT_EQ(shown.text, "Loopback");
    EXPECT_EQ(shown.help, static_cast<UINT>(IDS_LOOPBACK_NAME));
    EXPECT_EQ(shown.count, 2);
}

TEST_F(PlatformMessageBox, TextBoxesHaveNoHelpContextAndUnknownIdsAnEmptyText)
{
    Shown shown;
    shown.answer = IDCANCEL;
    SetMessageBoxHandler(Record, &shown);
    EXPECT_EQ(AfxMessageBox("Line dropped", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(shown.text, "Line dropped");
    EXPECT_EQ(shown.type, MB_OKCANCEL);
    EXPECT_EQ(shown.help, 0u);
    AfxMessageBox(0xFFFFu);
    EXPECT_EQ(shown.text, "");
    EXPECT_EQ(shown.help, 0xFFFFu);
    EXPECT_EQ(shown.count, 2);
}

TEST_F(PlatformMessageBox, WithoutAHandlerABoxIsOneLineOnStderrAnsweredWithItsDefaultButton)
{
    Shown shown;
    SetMessageBoxHandler(Record, &shown);
    SetMessageBoxHandler(nullptr, nullptr);
    std::vector<int> answers;
    const std::string written = StderrOf([&] {
        answers.push_back(AfxMessageBox(IDS_SOCKETS_INIT_FAILED, 0, static_cast<UINT>(-1)));
        answers.push_back(AfxMessageBox("Try again?", MB_RETRYCANCEL | MB_DEFBUTTON2));
        answers.push_back(AfxMessageBox("Save?", MB_YESNOCANCEL | MB_DEFBUTTON3));
        answers.push_back(AfxMessageBox("Abort?", MB_ABORTRETRYIGNORE | MB_DEFBUTTON2));
        answers.push_back(AfxMessageBox("Go on?", MB_YESNO));
    });
    EXPECT_EQ(shown.count, 0);
    EXPECT_EQ(written,
              "tavrin: Windows sockets initialization failed.\n"
              "tavrin: Try again?\n"
              "tavrin: Save?\n"
              "tavrin: Abort?\n"
              "tavrin: Go on?\n");
    EXPECT_EQ(answers, (std::vector<int>{IDOK, IDCANCEL, IDCANCEL, IDRETRY, IDYES}));
}

TEST_F(PlatformMessageBox, BoxesOnOtherThreadsMeetEitherHandlerWhileItIsSwapped)
{
    struct Counted {
        std::atomic<int> count{0};
        int answer;
    };
    Counted first, second;
    first.answer = IDYES;
    second.answer = IDNO;
    const auto count = [](LPVOID context, LPCSTR, LPCSTR, UINT, UINT) -> int {
        auto* counted = static_cast<Counted*>(context);
        counted->count.fetch_add(1);
        return counted->answer;
    };
    SetMessageBoxHandler(count, &first);
    constexpr int kBoxes = 2000;
    std::atomic<int> yes{0}, no{0}, other{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kBoxes; ++i) {
                const int answer = AfxMessageBox("?", MB_YESNO);
                (answer == IDYES ? yes : answer == IDNO ? no : other).fetch_add(1);
            }
        });
    }
    for (int i = 0; i < 200; ++i)
        SetMessageBoxHandler(count, i % 2 == 0 ? &second : &first);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(yes.load(), first.count.load());
    EXPECT_EQ(no.load(), second.count.load());
    EXPECT_EQ(yes.load() + no.load(), 2 * kBoxes);
}
