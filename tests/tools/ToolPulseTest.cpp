// listen and play against the test sound server: a command played into the
// null sink is heard on its monitor.
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "AudioFile.h"
#include "Tones.h"
#include "ToolRunner.h"

using namespace tooltest;
using namespace std::chrono_literals;

namespace {

constexpr const char* kSink = "DTMF-Test-Sink";
constexpr const char* kMonitor = "Monitor of DTMF-Test-Sink";

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string WriteTones(const TempDir& dir, const std::string& keys)
{
    std::string error;
    const std::string path = dir.Path("command.wav");
    EXPECT_TRUE(tool::WriteDetectorWav(path, tool::GenerateTones(keys, {}), error)) << error;
    return path;
}

}  // namespace

TEST(ToolPulse, DevicesListTheTestSinkAndItsMonitor)
{
    const Result result = RunTool({"devices"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find(kSink), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(kMonitor), std::string::npos) << result.out;
}

TEST(ToolPulse, ListenHearsEveryTextThatPlayPlaysAndEndsCleanlyOnSigterm)
{
    TempDir dir;
    const std::string command = WriteTones(dir, "*123#45");
    const std::vector<std::string> expected{"*", "*1", "*12", "*123", "#", "#4", "#45"};

    Child listen({"listen", kMonitor});
    ASSERT_TRUE(WaitFor([&] { return listen.Err().find("listening") != std::string::npos; }, 20s)) << listen.Err();

    const auto started = std::chrono::steady_clock::now();
    const Result played = RunTool({"play", command, "--device", kSink});
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_EQ(played.out, "");
    EXPECT_NE(played.err.find("vardell: playing "), std::string::npos);
    // 7 keys of 140 ms: play waits for the sound to end, but not much longer.
    EXPECT_GE(took, 900ms);

    EXPECT_TRUE(WaitFor([&] { return Lines(listen.Out()).size() >= expected.size(); }, 10s)) << listen.Out();
    listen.Signal(SIGTERM);
    ASSERT_TRUE(listen.Wait(20s)) << "listen did not end on SIGTERM";
    EXPECT_EQ(listen.Status(), 0) << listen.Err();
    EXPECT_EQ(Lines(listen.Out()), expected);
}

TEST(ToolPulse, ListenByIndexWithKeysAndTimestampsEndsOnSigint)
{
    TempDir dir;
    const std::string command = WriteTones(dir, "#9");

    const Result devices = RunTool({"devices"});
    // "  N  Monitor of DTMF-Test-Sink" in the input list.
    const auto at = devices.out.find(std::string("  ") + kMonitor);
    ASSERT_NE(at, std::string::npos) << devices.out;
    const auto lineStart = devices.out.rfind('\n', at) + 1;
    const std::string index = devices.out.substr(lineStart + 2, at - lineStart - 2);

    Child listen({"listen", index, "--keys", "--timestamps"});
    ASSERT_TRUE(WaitFor([&] { return listen.Err().find("listening") != std::string::npos; }, 20s)) << listen.Err();
    EXPECT_EQ(RunTool({"play", command, "--device", kSink}).status, 0);
    EXPECT_TRUE(WaitFor([&] { return Lines(listen.Out()).size() >= 2; }, 10s)) << listen.Out();
    listen.Signal(SIGINT);
    ASSERT_TRUE(listen.Wait(20s));
    EXPECT_EQ(listen.Status(), 0);
    const auto lines = Lines(listen.Out());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].ends_with(" #")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(" 9")) << lines[1];
    EXPECT_LT(std::stod(lines[0]), std::stod(lines[1]));
}

TEST(ToolPulse, PlayStopsEarlyOnSigint)
{
    TempDir dir;
    tool::ToneOptions options;
    options.toneMs = 10000;  // a ten-second tone
    std::string error;
    const std::string path = dir.Path("long.wav");
    ASSERT_TRUE(tool::WriteDetectorWav(path, tool::GenerateTones("1", options), error));
    Child play({"play", path, "--device", kSink});
    ASSERT_TRUE(WaitFor([&] { return play.Err().find("vardell: playing ") != std::string::npos; }, 30s)) << play.Err();
    const auto signalled = std::chrono::steady_clock::now();
    play.Signal(SIGINT);
    ASSERT_TRUE(play.Wait(20s));
    EXPECT_EQ(play.Status(), 0) << play.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
}
