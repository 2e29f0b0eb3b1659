// listen and play against the test sound server: a command played into its null sink is heard on its monitor.
#include <cstdlib>

#include "../audio/ServerControl.h"
#include "ToolRunner.h"

using namespace tooltest;

namespace {

const std::string kSink = "DTMF-Test-Sink", kMonitor = "Monitor of DTMF-Test-Sink";

std::string Tones(const TempDir& dir, const std::string& keys, Args options = {})
{
    options.insert(options.begin(), {"tones", keys, "-o", dir.Path(keys + ".wav")});
    EXPECT_EQ(RunTool(options).status, 0);
    return dir.Path(keys + ".wav");
}

const auto Has = [](const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; };

const auto Says = [](const Child& c, const std::string& what) { return WaitUntil([&] { return Has(c.Err(), what); }); };

}  // namespace

// listen by index and by name hear what play plays; play waits for the end of the sound.
TEST(ToolPulse, ListenHearsWhatPlayPlaysOutlivesTheServerAndEndsOnSignals)
{
    TempDir dir;
    // "  N  Monitor of DTMF-Test-Sink" in the input list; the sink in the output list.
    const std::string devices = RunTool({"devices"}).out;
    const auto at = devices.find("  " + kMonitor + "\n");
    ASSERT_NE(at, std::string::npos) << devices;
    const auto start = devices.rfind('\n', at) + 3;
    EXPECT_TRUE(Has(devices, "  " + kSink + "\n")) << devices;
    Child byIndex({"listen", devices.substr(start, at - start), "--keys", "--timestamps"});
    Child listen({"listen", kMonitor}), quitter({"listen", kMonitor, "--exit-on-loss"});
    ASSERT_TRUE(Says(byIndex, "listening") && Says(listen, "listening") && Says(quitter, "listening"));
    const auto started = std::chrono::steady_clock::now();
    const Result played = RunTool({"play", Tones(dir, "*123#45"), "--device", kSink});
    EXPECT_TRUE(played.status == 0 && played.out.empty()) << played.err;
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);  // 7 keys of 140 ms
    EXPECT_TRUE(WaitUntil([&] { return Lines(byIndex.Out()).size() >= 7; }, 10s));
    byIndex.Signal(SIGINT);
    ASSERT_TRUE(byIndex.Wait(20s) && byIndex.result.status == 0) << "listen on SIGINT: " << byIndex.Err();
    // "S.mmm K" for each key
    std::string keys;  // a "S.mmm K" line per key
    for (const std::string& line : Lines(byIndex.Out()))
        keys += line.size() > 6 && line[line.size() - 6] == '.' && line[line.size() - 2] == ' ' ? line.back() : '?';
    EXPECT_EQ(keys, "*123#45") << byIndex.Out();
    EXPECT_FALSE(Has(byIndex.Err() + listen.Err() + quitter.Err(), "lost")) << "nothing was lost yet";

    // Ctrl-C stops play long before the end of ten seconds (of silence: listen goes on).
    const std::string silence = Tones(dir, "1", {"--tone-ms", "0", "--gap-ms", "10000"});
    Child stopped({"play", silence, "--device", kSink});
    ASSERT_TRUE(Says(stopped, "vardell: playing ")) << stopped.Err();
    const auto signalled = std::chrono::steady_clock::now();
    stopped.Signal(SIGINT);
    ASSERT_TRUE(stopped.Wait(20s) && stopped.result.status == 0) << stopped.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);

    // When the server goes, listen says so and resumes by itself (or, with --exit-on-loss, exits 1)
    // while play exits 1 with the reason; with no server at all, devices says why and exits 1.
    Child play({"play", silence, "--device", kSink});
    ASSERT_TRUE(Says(play, "playing"));
    ASSERT_TRUE(servertest::KillServer());
    ASSERT_TRUE(play.Wait(10s) && quitter.Wait(10s)) << "play or listen --exit-on-loss went on";
    EXPECT_TRUE(play.result.status == 1 && Has(play.Err(), "playback lost: ")) << play.Err();
    EXPECT_TRUE(quitter.result.status == 1 && Has(quitter.Err(), "capture lost: ")) << quitter.Err();
    EXPECT_TRUE(Says(listen, "capture lost: ") && Says(listen, "; waiting for the sound server")) << listen.Err();

    ASSERT_TRUE(servertest::StartServer());
    EXPECT_TRUE(Says(listen, "capture resumed")) << listen.Err() << servertest::ServerState();
    const Result replayed = RunTool({"play", Tones(dir, "#12"), "--device", kSink});
    EXPECT_EQ(replayed.status, 0) << replayed.err << servertest::ServerState();
    EXPECT_TRUE(WaitUntil([&] { return Lines(listen.Out()).size() >= 10; }, 10s));
    listen.Signal(SIGTERM);
    ASSERT_TRUE(listen.Wait(20s) && listen.result.status == 0) << "listen on SIGTERM: " << listen.Err();
    EXPECT_EQ(Lines(listen.Out()), montest::Texts("*123#45#12"));

    const std::string server = std::getenv("PULSE_SERVER");
    ::setenv("PULSE_SERVER", ("unix:" + dir.Path("none")).c_str(), 1);
    const Result none = RunTool({"devices"});
    ::setenv("PULSE_SERVER", server.c_str(), 1);
    EXPECT_TRUE(none.status == 1 && Has(none.err, "cannot reach the sound server")) << none.err;
}
