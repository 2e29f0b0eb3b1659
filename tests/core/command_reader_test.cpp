// The command reader against a window on the test's own thread (a send there is
// a direct call) and a clock that the test sets, so no test sleeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandReader.h"
#include "Messages.h"

namespace {

class CommandReaderTest : public ::testing::Test {
protected:
    CommandReaderTest()
        : window(CreateMessageWindow([this](HWND, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
              if (msg == WM_DTMFCOMMAND && lParam == 0)
                  texts.emplace_back(reinterpret_cast<const char*>(wParam));
              return 0;
          })),
          reader(window, [this] { return now; })
    {
    }
    ~CommandReaderTest() override { DestroyMessageWindow(window); }

    // Feeds keys separated by spaces.
    void Keys(const std::string& keys)
    {
        for (char k : keys)
            if (k != ' ')
                reader.ProcessChar(k);
    }

    using Texts = std::vector<std::string>;
    Texts texts;
    long long now = 1'700'000'000;
    HWND window;
    CommandReader reader;
};

}  // namespace

TEST_F(CommandReaderTest, StartKeysBeginCommandsAndEveryTextIsSent)
{
    Keys("# 1 2");
    EXPECT_EQ(texts, (Texts{"#", "#1", "#12"}));
    texts.clear();
    Keys("* #");
    EXPECT_EQ(texts, (Texts{"*", "#"}));
    texts.clear();
    Keys("# A B");
    EXPECT_EQ(texts, (Texts{"#", "#A", "#AB"}));
}

TEST_F(CommandReaderTest, KeysBeforeAStartKeyAreNeverSent)
{
    EXPECT_FALSE(reader.Valid());
    Keys("1 2");
    EXPECT_TRUE(texts.empty());
    EXPECT_FALSE(reader.Valid());
    Keys("*");
    EXPECT_EQ(texts, (Texts{"*"}));
    EXPECT_TRUE(reader.Valid());
}

TEST_F(CommandReaderTest, AtMostTwentyOneCharacters)
{
    Keys("*01234567890123456789");
    ASSERT_EQ(texts.size(), 21u);
    EXPECT_EQ(texts.back(), "*01234567890123456789");
    // The 22nd key replaces the text and nothing more is sent, however long it goes on.
    Keys("ABCD0123456789ABCD0123456789");
    EXPECT_EQ(texts.size(), 21u);
    Keys("#5");
    EXPECT_EQ(texts.size(), 23u);
    EXPECT_EQ(texts.back(), "#5");
}

TEST_F(CommandReaderTest, GapOfMoreThanThirtySecondsAbandonsTheCommand)
{
    Keys("# 1");
    now += 30;
    Keys("2");
    EXPECT_EQ(texts, (Texts{"#", "#1", "#12"}));
    now += 31;
    Keys("3 4");
    EXPECT_EQ(texts.size(), 3u);  // abandoned silently
    now += 1000;
    Keys("*");  // a start key restarts however long the pause
    EXPECT_EQ(texts.back(), "*");
}

TEST_F(CommandReaderTest, ClockSetBackKeepsTheCommand)
{
    Keys("# 1");
    now -= 3600;
    Keys("2");
    EXPECT_EQ(texts.back(), "#12");
}

TEST_F(CommandReaderTest, PingSendsWhateverTheTextHolds)
{
    reader.Ping();
    EXPECT_EQ(texts, (Texts{""}));
}

TEST(CommandReader, WallClockByDefault)
{
    std::vector<std::string> texts;
    HWND window = CreateMessageWindow([&](HWND, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
        if (msg == WM_DTMFCOMMAND)
            texts.emplace_back(reinterpret_cast<const char*>(wParam));
        return 0;
    });
    CommandReader reader(window);
    for (char k : std::string("#12"))
        reader.ProcessChar(k);
    EXPECT_EQ(texts, (std::vector<std::string>{"#", "#1", "#12"}));
    DestroyMessageWindow(window);
}

TEST(CommandReader, WindowThatIsGoneLosesTheNotificationOnly)
{
    int handled = 0;
    HWND window = CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++handled; });
    CommandReader reader(window, [] { return 0LL; });
    DestroyMessageWindow(window);
    reader.ProcessChar('#');
    reader.ProcessChar('1');
    EXPECT_EQ(handled, 0);
    EXPECT_TRUE(reader.Valid());

    CommandReader nowhere(nullptr, [] { return 0LL; });
    nowhere.ProcessChar('*');
    EXPECT_TRUE(nowhere.Valid());
}
