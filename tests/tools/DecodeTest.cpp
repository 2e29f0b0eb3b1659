// tones -> decode, end to end through the vardell binary.
#include <string>
#include <vector>

#include <sndfile.h>
#include <gtest/gtest.h>

#include "Tones.h"
#include "ToolRunner.h"

using namespace tooltest;

namespace {

// "#0123456789ABCD*" reaches every key: fifteen growing texts, then "*".
const std::string kAllKeys = "#0123456789ABCD*";

std::vector<std::string> AllKeysTexts()
{
    std::vector<std::string> texts;
    for (std::size_t n = 1; n < kAllKeys.size(); ++n)
        texts.push_back(kAllKeys.substr(0, n));
    texts.push_back("*");
    return texts;
}

std::string MakeTones(const TempDir& dir, const std::string& keys, std::vector<std::string> options = {})
{
    const std::string path = dir.Path("tones.wav");
    std::vector<std::string> args{"tones", keys, "-o", path};
    args.insert(args.end(), options.begin(), options.end());
    const Result made = RunTool(args);
    EXPECT_EQ(made.status, 0) << made.err;
    return path;
}

std::vector<std::string> Decode(const std::string& path, std::vector<std::string> options = {})
{
    std::vector<std::string> args{"decode", path};
    args.insert(args.end(), options.begin(), options.end());
    const Result result = RunTool(args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return Lines(result.out);
}

}  // namespace

struct ToneVariant {
    const char* name;
    std::vector<std::string> options;
};

void PrintTo(const ToneVariant& variant, std::ostream* os) { *os << variant.name; }

class AllKeysDecode : public testing::TestWithParam<ToneVariant> {};

TEST_P(AllKeysDecode, EveryKeyAndEveryTextArrives)
{
    TempDir dir;
    const std::string path = MakeTones(dir, kAllKeys, GetParam().options);
    EXPECT_EQ(Decode(path), AllKeysTexts());
    std::vector<std::string> keys;
    for (char k : kAllKeys)
        keys.emplace_back(1, k);
    EXPECT_EQ(Decode(path, {"--keys"}), keys);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, AllKeysDecode,
    testing::Values(ToneVariant{"clean", {}}, ToneVariant{"noise20dB", {"--noise", "20", "--seed", "7"}},
                    ToneVariant{"twistHigh4dB", {"--twist", "4"}}, ToneVariant{"twistLow4dB", {"--twist", "-4"}},
                    ToneVariant{"quiet", {"--level", "-40"}},
                    ToneVariant{"shortTones", {"--tone-ms", "50", "--gap-ms", "40"}}),
    [](const testing::TestParamInfo<ToneVariant>& info) { return info.param.name; });

TEST(Decode, TextsStopAfterTwentyOneCharactersUntilTheNextStartKey)
{
    TempDir dir;
    const std::string digits = "1234567890123456789012345";
    const auto lines = Decode(MakeTones(dir, "*" + digits + "#9"));
    std::vector<std::string> expected;
    for (std::size_t n = 0; n <= 20; ++n)
        expected.push_back("*" + digits.substr(0, n));
    expected.push_back("#");
    expected.push_back("#9");
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(expected[20].size(), 21u);
}

TEST(Decode, PauseRuleRunsOnStreamTimeNotWallClock)
{
    TempDir dir;
    // Each key 80 ms of tone; 31 s between keys abandons the command, 29.8 s does not.
    EXPECT_EQ(Decode(MakeTones(dir, "#12", {"--gap-ms", "31000"})), std::vector<std::string>{"#"});
    EXPECT_EQ(Decode(MakeTones(dir, "#12", {"--gap-ms", "29800"})), (std::vector<std::string>{"#", "#1", "#12"}));
}

TEST(Decode, OtherRatesChannelsAndSampleFormatsDecodeTheSame)
{
    TempDir dir;
    tool::ToneOptions options;
    const std::vector<std::string> expected = AllKeysTexts();
    struct Case {
        int rate, channels, format;
    };
    for (Case c : {Case{44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16}, Case{48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                   Case{8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_U8}, Case{22050, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                   Case{11025, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_32}, Case{16000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16}}) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " ch, format 0x" << std::hex << c.format);
        options.sampleRate = c.rate;
        const std::string path = dir.Path("converted");
        WriteSound(path, tool::GenerateTones(kAllKeys, options), c.rate, c.channels, c.format);
        EXPECT_EQ(Decode(path), expected);
    }
}

TEST(Decode, TimestampsAreStreamSecondsAtTheEndOfTheBlock)
{
    TempDir dir;
    const std::string path = MakeTones(dir, "*12");
    const auto texts = Decode(path, {"--timestamps"});
    const auto keys = Decode(path, {"--keys", "--timestamps"});
    ASSERT_EQ(texts.size(), 3u);
    ASSERT_EQ(keys.size(), 3u);
    // Tone from 0 s: the key is handed on at the end of block 1, 512 / 11025 s.
    EXPECT_EQ(texts[0], "0.046 *");
    EXPECT_EQ(keys[0], "0.046 *");
    double previous = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        // "S.mmm TEXT": whole seconds, exactly three decimals, one space.
        const auto space = texts[i].find(' ');
        ASSERT_NE(space, std::string::npos) << texts[i];
        const std::string number = texts[i].substr(0, space);
        ASSERT_GE(number.size(), 5u) << texts[i];
        EXPECT_EQ(number[number.size() - 4], '.') << texts[i];
        EXPECT_EQ(number.find_first_not_of("0123456789."), std::string::npos) << texts[i];
        const double seconds = std::stod(number);
        EXPECT_GT(seconds, previous);
        // Keys every 140 ms; block ends every 23.2 ms.
        EXPECT_NEAR(seconds, 0.046 + 0.140 * static_cast<double>(i), 0.024);
        previous = seconds;
        EXPECT_EQ(keys[i].substr(0, 6), texts[i].substr(0, 6));
    }
    EXPECT_EQ(keys[2], keys[2].substr(0, 6) + "2");
}

TEST(Decode, SilenceAndAnEmptyRecordingPrintNothing)
{
    TempDir dir;
    const std::string silence = dir.Path("silence.wav");
    WriteSound(silence, std::vector<std::int16_t>(11025, 0), 11025, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_TRUE(Decode(silence).empty());
    const std::string empty = dir.Path("empty.wav");
    WriteSound(empty, {}, 11025, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_TRUE(Decode(empty).empty());
}

TEST(Decode, BadFilesFailWithOneLineNamingTheFile)
{
    TempDir dir;
    const std::string text = dir.Path("notes.txt");
    const std::string truncated = dir.Path("truncated.wav");
    {
        std::FILE* f = std::fopen(text.c_str(), "w");
        std::fputs("this is not a sound\n", f);
        std::fclose(f);
        f = std::fopen(truncated.c_str(), "w");
        std::fputs("RIFF\x24\x00\x00\x00WAVEfmt ", f);
        std::fclose(f);
    }
    for (const std::string& path : {dir.Path("missing.wav"), text, truncated, dir.Path("")}) {
        SCOPED_TRACE(path);
        const Result result = RunTool({"decode", path});
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        ASSERT_EQ(Lines(result.err).size(), 1u) << result.err;
        EXPECT_NE(result.err.find(path), std::string::npos) << result.err;
    }
}

TEST(Decode, UsageErrorsPrintNothingOnStandardOutput)
{
    TempDir dir;
    const std::string path = MakeTones(dir, "*1");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"decode"}, {"decode", path, "--frobnicate"}, {"decode", path, path},
          {"decode", "--keys=yes", path}, {"decoder", path}, {}}) {
        const Result result = RunTool(args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("usage: vardell"), std::string::npos) << result.err;
    }
}

TEST(Help, DocumentsTheToolOnStandardOutput)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"help"}, {"decode", "--help"}}) {
        const Result result = RunTool(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_NE(result.out.find("decode FILE"), std::string::npos);
        EXPECT_EQ(result.err, "");
    }
    EXPECT_NE(RunTool({"help", "decode"}).out.find("--timestamps"), std::string::npos);
}
