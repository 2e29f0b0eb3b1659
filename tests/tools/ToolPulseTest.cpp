// listen and play against the test sound server: a command played into the
// null sink is heard on its monitor.
#include <regex>

#include "AudioFile.h"
#include "Tones.h"
#include "ToolRunner.h"

using namespace tooltest;

TEST(ToolPulse, ListenByNameAndByIndexHearWhatPlayPlaysAndEndCleanlyOnSignals)
{
    TempDir dir;
    const std::string sink = "DTMF-Test-Sink", monitor = "Monitor of DTMF-Test-Sink";
    auto tones = [&](const std::string& keys, std::size_t silenceAfter) {
        auto samples = tool::GenerateTones(keys, {});
        samples.resize(samples.size() + silenceAfter);
        std::string error;
        EXPECT_TRUE(tool::WriteDetectorWav(dir.Path(keys + ".wav"), samples, error)) << error;
        return dir.Path(keys + ".wav");
    };
    auto says = [](const Child& child, const std::string& what) {
        return WaitFor([&] { return child.Err().find(what) != std::string::npos; }, 30s);
    };
    // "  N  Monitor of DTMF-Test-Sink" in the input list; the sink in the output list.
    const std::string devices = RunTool({"devices"}).out;
    const auto at = devices.find("  " + monitor + "\n");
    ASSERT_NE(at, std::string::npos) << devices;
    const auto start = devices.rfind('\n', at) + 3;
    EXPECT_NE(devices.find("  " + sink + "\n"), std::string::npos) << devices;

    Child byName({"listen", monitor});
    Child byIndex({"listen", devices.substr(start, at - start), "--keys", "--timestamps"});
    ASSERT_TRUE(says(byName, "listening") && says(byIndex, "listening")) << byName.Err() << byIndex.Err();
    const auto started = std::chrono::steady_clock::now();
    const Result played = RunTool({"play", tones("*123#45", 0), "--device", sink});
    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_EQ(played.out, "");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);  // 7 keys of 140 ms: play waits for the end

    EXPECT_TRUE(WaitFor([&] { return Lines(byName.Out()).size() >= 7 && Lines(byIndex.Out()).size() >= 7; }, 10s));
    byName.Signal(SIGTERM);
    byIndex.Signal(SIGINT);
    ASSERT_TRUE(byName.Wait(20s) && byIndex.Wait(20s)) << "listen did not end on SIGTERM / SIGINT";
    EXPECT_EQ(byName.Status() + byIndex.Status(), 0) << byName.Err() << byIndex.Err();
    EXPECT_EQ(Lines(byName.Out()), (std::vector<std::string>{"*", "*1", "*12", "*123", "#", "#4", "#45"}));
    const auto keys = Lines(byIndex.Out());  // "S.mmm K", in stream time
    ASSERT_EQ(keys.size(), 7u) << byIndex.Out();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_TRUE(std::regex_match(keys[i], std::regex(R"(\d+\.\d{3} .)")) && keys[i].back() == "*123#45"[i])
            << keys[i];
        EXPECT_TRUE(i == 0 || std::stod(keys[i - 1]) < std::stod(keys[i])) << keys[i];
    }

    // Ctrl-C stops play long before the end of ten seconds of sound.
    Child play({"play", tones("1", 10 * 11025), "--device", sink});
    ASSERT_TRUE(says(play, "vardell: playing ")) << play.Err();
    const auto signalled = std::chrono::steady_clock::now();
    play.Signal(SIGINT);
    ASSERT_TRUE(play.Wait(20s));
    EXPECT_EQ(play.Status(), 0) << play.Err();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
}
