// devices, listen, play and mix without a sound server: listings and failures.
#include <sndfile.h>

#include <gtest/gtest.h>

#include "AudioFile.h"
#include "Tones.h"
#include "ToolRunner.h"

using namespace tooltest;

TEST(Devices, ListsBothDirections)
{
    const Result result = RunTool({"devices"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Input devices:"), std::string::npos);
    EXPECT_NE(result.out.find("Output devices:"), std::string::npos);
    EXPECT_EQ(RunTool({"devices", "extra"}).status, 2);
}

TEST(Listen, UnknownDeviceFailsAtOnce)
{
    for (const char* device : {"no such device here", "4000000000", "99999999999999999999999"}) {
        const Result result = RunTool({"listen", device}, std::chrono::seconds(30));
        EXPECT_EQ(result.status, 2) << device;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(Lines(result.err).size(), 1u) << result.err;
    }
    EXPECT_EQ(RunTool({"listen", "0", "1"}).status, 2);
}

TEST(Play, BadInputFailsWithOneLine)
{
    TempDir dir;
    {
        std::FILE* f = std::fopen(dir.Path("text.wav").c_str(), "w");
        std::fputs("not a wave file at all, just some words\n", f);
        std::fclose(f);
    }
    std::string error;
    ASSERT_TRUE(tool::WriteDetectorWav(dir.Path("ok.wav"), tool::GenerateTones("1", {}), error));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"play", dir.Path("missing.wav")}, {"play", dir.Path("text.wav")},
          {"play", dir.Path("ok.wav"), "--device", "no such output"}, {"play", dir.Path("ok.wav"), "--device", "777"},
          {"play"}, {"play", dir.Path("ok.wav"), "--device"}}) {
        const Result result = RunTool(args, std::chrono::seconds(30));
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err, "");
    }
}

class Mix : public testing::Test {
protected:
    std::string Write(const std::string& name, const std::vector<std::int16_t>& samples)
    {
        std::string error;
        EXPECT_TRUE(tool::WriteDetectorWav(dir.Path(name), samples, error)) << error;
        return dir.Path(name);
    }
    TempDir dir;
};

TEST_F(Mix, SilenceMixedIntoTonesKeepsTheCommand)
{
    const auto tones = tool::GenerateTones("#12", {});
    const std::string a = Write("a.wav", tones);
    const std::string b = Write("b.wav", std::vector<std::int16_t>(tones.size() / 2, 0));
    const std::string out = dir.Path("out.wav");
    const Result mixed = RunTool({"mix", a, b, "-o", out});
    ASSERT_EQ(mixed.status, 0) << mixed.err;
    EXPECT_EQ(mixed.out, "");
    std::vector<std::int16_t> samples;
    std::string error;
    ASSERT_TRUE(tool::ReadDetectorSamples(out, samples, error)) << error;
    EXPECT_EQ(samples.size(), tones.size());  // A's length
    const Result decoded = RunTool({"decode", out});
    EXPECT_EQ(Lines(decoded.out), (std::vector<std::string>{"#", "#1", "#12"}));
}

TEST_F(Mix, FailuresLeaveNoOutput)
{
    const std::string a = Write("a.wav", tool::GenerateTones("1", {}));
    tool::ToneOptions other;
    other.sampleRate = 8000;  // same channels and bits, another rate
    const std::string b8k = dir.Path("b8k.wav");
    WriteSound(b8k, tool::GenerateTones("1", other), 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const std::string out = dir.Path("out.wav");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"mix", a, b8k, "-o", out}, {"mix", a, dir.Path("missing.wav"), "-o", out},
          {"mix", dir.Path("missing.wav"), a, "-o", out}, {"mix", a, a}, {"mix", a, "-o", out}}) {
        const Result result = RunTool(args, std::chrono::seconds(30));
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(Lines(result.err).size() >= 1, true);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
    const Result unwritable = RunTool({"mix", a, a, "-o", dir.Path("no/such/dir/out.wav")}, std::chrono::seconds(30));
    EXPECT_EQ(unwritable.status, 2);
    EXPECT_EQ(Lines(unwritable.err).size(), 1u) << unwritable.err;
}
