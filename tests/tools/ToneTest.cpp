// The test-signal generator and the tool's sound file reading, in process.
#include <cmath>
#include <numeric>

#include <gtest/gtest.h>

#include "AudioFile.h"
#include "Tones.h"
#include "ToolRunner.h"

using namespace tooltest;

namespace {

double Power(std::span<const std::int16_t> samples)
{
    double sum = 0;
    for (std::int16_t s : samples)
        sum += static_cast<double>(s) * s;
    return sum / static_cast<double>(samples.size());
}

}  // namespace

TEST(Tones, LengthAndLevelsAreAsAsked)
{
    tool::ToneOptions options;  // 80 ms + 60 ms at -10 dBFS per tone
    const auto samples = tool::GenerateTones("15", options);
    ASSERT_EQ(samples.size(), 2u * (882 + 662));
    // Two sines of amplitude a: power a^2 over the tone, silence in the gap.
    const double a = 32767 * std::pow(10.0, -10 / 20.0);
    EXPECT_NEAR(Power(std::span(samples).first(882)), a * a, a * a * 0.02);
    EXPECT_EQ(Power(std::span(samples).subspan(882, 662)), 0.0);

    // Twist: the high tone 6 dB up gives (1 + 4) / 2 times the power.
    options.twistDb = 20 * std::log10(2.0);
    const auto twisted = tool::GenerateTones("1", options);
    EXPECT_NEAR(Power(std::span(twisted).first(882)), a * a * 2.5, a * a * 0.05);
}

TEST(Tones, NoiseHasTheAskedPowerAndFollowsTheSeed)
{
    tool::ToneOptions options;
    options.noise = true;
    options.snrDb = 20;
    options.seed = 3;
    options.toneMs = 0;  // noise alone
    options.gapMs = 10000;
    const auto noise = tool::GenerateTones("1", options);
    const double a = 32767 * std::pow(10.0, -10 / 20.0);
    EXPECT_NEAR(10 * std::log10(a * a / Power(noise)), 20.0, 0.1);
    EXPECT_EQ(noise, tool::GenerateTones("1", options));
    options.seed = 4;
    EXPECT_NE(noise, tool::GenerateTones("1", options));
}

TEST(Tones, ToolRejectsBadKeysAndMissingOutput)
{
    TempDir dir;
    const std::string out = dir.Path("t.wav");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"tones", "12E", "-o", out}, {"tones", "12"}, {"tones", "-o", out},
          {"tones", "12", "-o", out, "--level", "loud"}, {"tones", "12", "-o", out, "--tone-ms", "-5"},
          {"tones", "12", "-o", out, "--seed", "1.5"}, {"tones", "12", "-o"}, {"tones", "12", "-o", out, "--bogus"}}) {
        const Result result = RunTool(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err, "");
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    const Result unwritable = RunTool({"tones", "12", "-o", dir.Path("no/such/dir/t.wav")});
    EXPECT_EQ(unwritable.status, 2);
    EXPECT_EQ(Lines(unwritable.err).size(), 1u);
}

TEST(AudioFile, DetectorFormatIsReadSampleForSample)
{
    TempDir dir;
    std::vector<std::int16_t> samples(5000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>((i * 7919) % 65536 - 32768);  // no resampler would keep these
    std::string error;
    ASSERT_TRUE(tool::WriteDetectorWav(dir.Path("a.wav"), samples, error)) << error;
    std::vector<std::int16_t> read;
    ASSERT_TRUE(tool::ReadDetectorSamples(dir.Path("a.wav"), read, error)) << error;
    EXPECT_EQ(read, samples);


    EXPECT_FALSE(tool::ReadDetectorSamples(dir.Path("missing.wav"), read, error));
    EXPECT_NE(error, "");
}
