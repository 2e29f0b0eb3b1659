// The tool when the test sound server is killed under it: listen says so and
// resumes by itself (or, with --exit-on-loss, exits 1), play exits 1 with the
// reason; with no server at all, devices says why and exits 1.
#include <cstdlib>

#include "../audio/ServerControl.h"
#include "AudioFile.h"
#include "Tones.h"
#include "ToolRunner.h"

using namespace tooltest;

TEST(ToolServerLoss, ListenSaysSoAndResumesWhilePlayFailsWithTheReason)
{
    TempDir dir;
    auto tones = [&](const std::string& keys, double toneMs) {
        std::string error;
        EXPECT_TRUE(tool::WriteDetectorWav(dir.Path("t.wav"), tool::GenerateTones(keys, {.toneMs = toneMs}), error));
        return dir.Path("t.wav");
    };
    auto says = [](const Child& child, const std::string& what) {
        return WaitFor([&] { return child.Err().find(what) != std::string::npos; }, 20s);
    };
    const std::string monitor = "Monitor of DTMF-Test-Sink";
    Child listen({"listen", monitor}), quitter({"listen", monitor, "--exit-on-loss"});
    Child play({"play", tones("1", 10000), "--device", "DTMF-Test-Sink"});
    ASSERT_TRUE(says(listen, "listening") && says(quitter, "listening") && says(play, "playing"));

    ASSERT_TRUE(servertest::KillServer());
    ASSERT_TRUE(play.Wait(10s) && quitter.Wait(10s)) << "play or listen --exit-on-loss went on";
    EXPECT_EQ(play.Status(), 1);
    EXPECT_NE(play.Err().find("playback lost: "), std::string::npos) << play.Err();
    EXPECT_EQ(quitter.Status(), 1);
    EXPECT_NE(quitter.Err().find("capture lost: "), std::string::npos) << quitter.Err();
    EXPECT_TRUE(says(listen, "capture lost: ") && says(listen, "; waiting for the sound server")) << listen.Err();

    ASSERT_TRUE(servertest::StartServer());
    EXPECT_TRUE(says(listen, "capture resumed")) << listen.Err();
    EXPECT_EQ(RunTool({"play", tones("#12", 80), "--device", "DTMF-Test-Sink"}).status, 0);
    EXPECT_TRUE(WaitFor([&] { return Lines(listen.Out()).size() >= 3; }, 10s));
    listen.Signal(SIGTERM);
    ASSERT_TRUE(listen.Wait(20s));
    EXPECT_EQ(listen.Status(), 0);
    EXPECT_EQ(Lines(listen.Out()), (std::vector<std::string>{"#", "#1", "#12"}));

    const std::string server = std::getenv("PULSE_SERVER");
    ::setenv("PULSE_SERVER", ("unix:" + dir.Path("none")).c_str(), 1);
    const Result devices = RunTool({"devices"});
    ::setenv("PULSE_SERVER", server.c_str(), 1);
    EXPECT_EQ(devices.status, 1);
    EXPECT_NE(devices.err.find("cannot reach the sound server"), std::string::npos) << devices.err;
}
