// listen and play against the test sound server: a command played into the null
// sink is heard on its monitor. When the server is killed under them, listen says
// so and resumes by itself (or, with --exit-on-loss, exits 1) and play exits 1
// with the reason; with no server at all, devices says why and exits 1.
#include <cstdio>
#include <cstdlib>

#include "../audio/ServerControl.h"
#include "AudioFile.h"
#include "Tones.h"
#include "ToolRunner.h"

using namespace tooltest;

namespace {

const std::string kSink = "DTMF-Test-Sink", kMonitor = "Monitor of DTMF-Test-Sink";

std::string Tones(const TempDir& dir, const std::string& keys, double toneMs = 80, std::size_t silenceAfter = 0)
{
    auto samples = tool::GenerateTones(keys, {.toneMs = toneMs});
    samples.resize(samples.size() + silenceAfter);
    std::string error;
    EXPECT_TRUE(tool::WriteDetectorWav(dir.Path(keys + ".wav"), samples, error)) << error;
    return dir.Path(keys + ".wav");
}

bool Says(const Child& child, const std::string& what)
{
    return WaitUntil([&] { return child.Err().find(what) != std::string::npos; });
}

}  // namespace

TEST(ToolPulse, ListenByNameAndByIndexHearWhatPlayPlaysAndEndCleanlyOnSignals)
{
    TempDir dir;
    // "  N  Monitor of DTMF-Test-Sink" in the input list; the sink in the output list.
    const std::string devices = RunTool({"devices"}).out;
    const auto at = devices.find("  " + kMonitor + "\n");
    ASSERT_NE(at, std::string::npos) << devices;
    const auto start = devices.rfind('\n', at) + 3;
    EXPECT_NE(devices.find("  " + kSink + "\n"), std::string::npos) << devices;

    Child byName({"listen", kMonitor});
    Child byIndex({"listen", devices.substr(start, at - start), "--keys", "--timestamps"});
    ASSERT_TRUE(Says(byName, "listening") && Says(byIndex, "listening")) << byName.Err() << byIndex.Err();
    const auto started = std::chrono::steady_clock::now();
    const Result played = RunTool({"play", Tones(dir, "*123#45"), "--device", kSink});
    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_EQ(played.out, "");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);  // 7 keys of 140 ms: play waits for the end

    EXPECT_TRUE(WaitUntil([&] { return Lines(byName.Out()).size() >= 7 && Lines(byIndex.Out()).size() >= 7; }, 10s));
    byName.Signal(SIGTERM);
    byIndex.Signal(SIGINT);
    ASSERT_TRUE(byName.Wait(20s) && byIndex.Wait(20s)) << "listen did not end on SIGTERM / SIGINT";
    EXPECT_EQ(byName.result.status + byIndex.result.status, 0) << byName.Err() << byIndex.Err();
    EXPECT_EQ(Lines(byName.Out()), (std::vector<std::string>{"*", "*1", "*12", "*123", "#", "#4", "#45"}));
    const auto keys = Lines(byIndex.Out());  // "S.mmm K", in stream time
    ASSERT_EQ(keys.size(), 7u) << byIndex.Out();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%.3f %c", std::stod(keys[i]), "*123#45"[i]);
        EXPECT_EQ(keys[i], expected);
        EXPECT_TRUE(i == 0 || std::stod(keys[i - 1]) < std::stod(keys[i])) << keys[i];
    }

    // Ctrl-C stops play long before the end of ten seconds of sound.
    Child play({"play", Tones(dir, "1", 80, 10 * 11025), "--device", kSink});
    ASSERT_TRUE(Says(play, "vardell: playing ")) << play.Err();
    const auto signalled = std::chrono::steady_clock::now();
    play.Signal(SIGINT);
    ASSERT_TRUE(play.Wait(20s));
    EXPECT_EQ(play.result.status, 0) << play.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
}

TEST(ToolServerLoss, ListenSaysSoAndResumesWhilePlayFailsWithTheReason)
{
    TempDir dir;
    Child listen({"listen", kMonitor}), quitter({"listen", kMonitor, "--exit-on-loss"});
    Child play({"play", Tones(dir, "1", 10000), "--device", kSink});
    ASSERT_TRUE(Says(listen, "listening") && Says(quitter, "listening") && Says(play, "playing"));

    ASSERT_TRUE(servertest::KillServer());
    ASSERT_TRUE(play.Wait(10s) && quitter.Wait(10s)) << "play or listen --exit-on-loss went on";
    EXPECT_EQ(play.result.status, 1);
    EXPECT_NE(play.Err().find("playback lost: "), std::string::npos) << play.Err();
    EXPECT_EQ(quitter.result.status, 1);
    EXPECT_NE(quitter.Err().find("capture lost: "), std::string::npos) << quitter.Err();
    EXPECT_TRUE(Says(listen, "capture lost: ") && Says(listen, "; waiting for the sound server")) << listen.Err();

    ASSERT_TRUE(servertest::StartServer());
    EXPECT_TRUE(Says(listen, "capture resumed")) << listen.Err();
    EXPECT_EQ(RunTool({"play", Tones(dir, "#12"), "--device", kSink}).status, 0);
    EXPECT_TRUE(WaitUntil([&] { return Lines(listen.Out()).size() >= 3; }, 10s));
    listen.Signal(SIGTERM);
    ASSERT_TRUE(listen.Wait(20s));
    EXPECT_EQ(listen.result.status, 0);
    EXPECT_EQ(Lines(listen.Out()), (std::vector<std::string>{"#", "#1", "#12"}));

    const std::string server = std::getenv("PULSE_SERVER");
    ::setenv("PULSE_SERVER", ("unix:" + dir.Path("none")).c_str(), 1);
    const Result devices = RunTool({"devices"});
    ::setenv("PULSE_SERVER", server.c_str(), 1);
    EXPECT_EQ(devices.status, 1);
    EXPECT_NE(devices.err.find("cannot reach the sound server"), std::string::npos) << devices.err;
}
