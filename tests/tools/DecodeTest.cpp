// The vardell tool end to end: tones -> decode, mix, and every way it refuses.
#include <cmath>
#include <map>
#include <numeric>
#include <random>

#include "../monitor/MonitorSupport.h"
#include "AudioFile.h"
#include "AudioMonitor.h"
#include "Decoder.h"
#include "Tones.h"
#include "ToolRunner.h"

using namespace tooltest;

namespace {

using Args = std::vector<std::string>;

// "#0123456789ABCD*" reaches every key: fifteen growing texts, then "*".
const std::string kAllKeys = "#0123456789ABCD*";
const Args kAllTexts = [] {
    Args texts;
    for (std::size_t n = 1; n < kAllKeys.size(); ++n)
        texts.push_back(kAllKeys.substr(0, n));
    texts.push_back("*");
    return texts;
}();

std::string MakeTones(const TempDir& dir, const std::string& keys, Args options = {})
{
    options.insert(options.begin(), {"tones", keys, "-o", dir.Path("tones.wav")});
    const Result made = RunTool(options);
    EXPECT_EQ(made.status, 0) << made.err;
    return dir.Path("tones.wav");
}

Args Decode(const std::string& path, Args options = {})
{
    options.insert(options.begin(), {"decode", path});
    const Result result = RunTool(options);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return Lines(result.out);
}

std::string Join(const Args& lines, const std::string& between)
{
    std::string joined;
    for (const std::string& line : lines)
        joined += (&line == &lines[0] ? "" : between) + line;
    return joined;
}

double Power(std::span<const std::int16_t> s)
{
    return std::inner_product(s.begin(), s.end(), s.begin(), 0.0) / static_cast<double>(s.size());
}

}  // namespace

class AllKeysDecode : public testing::TestWithParam<Args> {};

TEST_P(AllKeysDecode, EveryKeyAndEveryTextArrives)
{
    TempDir dir;
    const std::string path = MakeTones(dir, kAllKeys, GetParam());
    EXPECT_EQ(Decode(path), kAllTexts);
    Args keys;
    for (char k : kAllKeys)
        keys.emplace_back(1, k);
    EXPECT_EQ(Decode(path, {"--keys"}), keys);
}

INSTANTIATE_TEST_SUITE_P(Signals, AllKeysDecode,
                         testing::Values(Args{}, Args{"--noise", "20", "--seed", "7"}, Args{"--twist", "4"},
                                         Args{"--twist", "-4"}, Args{"--level", "-40"},
                                         Args{"--tone-ms", "50", "--gap-ms", "40"}));

// Other rates, channel counts and sample formats are in the golden set below.
TEST(Decode, SilenceAnEmptyFileAndTheDetectorsOwnFormat)
{
    TempDir dir;
    const std::string path = dir.Path("converted");
    WriteSound(path, std::vector<std::int16_t>(11025, 0), 11025, 1);
    EXPECT_TRUE(Decode(path).empty());
    WriteSound(path, {}, 11025, 1);
    EXPECT_TRUE(Decode(path).empty());

    // The detector's own format is taken sample for sample: no resampler would keep these.
    std::vector<std::int16_t> samples(5000), read;
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>((i * 7919) % 65536 - 32768);
    std::string error;
    ASSERT_TRUE(tool::WriteDetectorWav(path, samples, error)) << error;
    ASSERT_TRUE(tool::ReadDetectorSamples(path, read, error)) << error;
    EXPECT_EQ(read, samples);
}

// Recordings whose decoded output is kept in golden.txt, one line per recording
// and mode, the output's lines joined by '|'. Any change in that output, even a
// timestamp, is a change of behaviour.
std::vector<std::pair<std::string, std::string>> GoldenRecordings(const TempDir& dir)
{
    using tool::GenerateTones;
    const auto join = [](std::initializer_list<std::vector<std::int16_t>> parts) {
        std::vector<std::int16_t> all;
        for (const auto& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const std::string noisy = dir.Path("noisy.wav"), stereo = dir.Path("stereo.wav"), hifi = dir.Path("hifi.wav"),
                      odd = dir.Path("odd.wav"), slow = dir.Path("slow.wav");
    WriteSound(noisy, GenerateTones("#159D*0A", {.toneMs = 55, .gapMs = 45, .noise = true, .snrDb = 6, .seed = 9}),
               11025, 1);
    // One party per channel, taking turns: the mix-down hears both at half level.
    const tool::ToneOptions at8k{.toneMs = 90, .gapMs = 150, .sampleRate = 8000};
    const auto turn = std::vector<std::int16_t>(3840, 0);  // as long as two keys
    WriteChannels(stereo,
                  {join({GenerateTones("#1", at8k), turn, GenerateTones("25", at8k), turn}),
                   join({turn, GenerateTones("*3", at8k), turn, GenerateTones("4#", at8k)})},
                  8000);
    WriteSound(hifi, GenerateTones("#A7*B", {.levelDb = -35, .twistDb = 4, .sampleRate = 44100}), 44100, 1,
               SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    auto cut = GenerateTones("*80", {.toneMs = 62, .gapMs = 30, .sampleRate = 22050});
    cut.resize(cut.size() - 1501);
    WriteSound(odd, cut, 22050, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    // 21 characters and more; 31 s, then 29.9 s between two keys (the gap rule counts whole seconds).
    const tool::ToneOptions slow8k{.sampleRate = 8000};
    WriteSound(slow,
               join({GenerateTones("*1234567890123456789012", slow8k),
                     GenerateTones("#", {.gapMs = 31000, .sampleRate = 8000}), GenerateTones("7*", slow8k),
                     GenerateTones("6", {.gapMs = 29900, .sampleRate = 8000}), GenerateTones("9", slow8k)}),
               8000, 1);
    return {{"noisy-11025-mono", noisy},
            {"stereo-8000", stereo},
            {"24bit-44100", hifi},
            {"odd-float-22050", odd},
            {"long-gaps-8000", slow}};
}

TEST(Decode, OutputIsExactlyTheGoldenOne)
{
    std::ifstream file(VARDELL_GOLDEN);
    std::map<std::string, std::string> golden;
    for (std::string line; std::getline(file, line);)
        golden[line.substr(0, line.find(": "))] = line.substr(line.find(": ") + 2);
    TempDir dir;
    for (const auto& [name, path] : GoldenRecordings(dir))
        for (const std::string mode : {"texts", "keys"}) {
            const Args keys = mode == "keys" ? Args{"--keys"} : Args{};
            Args stamped = keys;
            stamped.push_back("--timestamps");
            const Args lines = Decode(path, stamped);
            EXPECT_EQ(Join(lines, "|"), golden[name + " " + mode]) << name << " " << mode << ": " << Join(lines, "|");
            Args plain;  // the same lines without their stamps
            for (const std::string& line : lines)
                plain.push_back(line.substr(line.find(' ') + 1));
            EXPECT_EQ(Decode(path, keys), plain) << name << " " << mode;
            if (mode == "texts") {  // the same through a pipe
                EXPECT_EQ(RunTool({"decode", "-", "--timestamps"}, path).out, Join(lines, "\n") + "\n");
            }
        }
}

// Two parties speaking at once: the mix-down hears neither, each channel alone its own.
TEST(Decode, OneChannelAndEachChannelDecodeLikeTheirOwnFiles)
{
    TempDir dir;
    const auto left = tool::GenerateTones("#12", {.sampleRate = 8000});
    const auto right = tool::GenerateTones("*9#", {.twistDb = 3, .sampleRate = 8000});
    WriteChannels(dir.Path("both.flac"), {left, right}, 8000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    WriteSound(dir.Path("left.wav"), left, 8000, 1);
    WriteSound(dir.Path("right.wav"), right, 8000, 1);
    const auto alone = Decode(dir.Path("left.wav"), {"--timestamps"}),
               other = Decode(dir.Path("right.wav"), {"--timestamps"});
    EXPECT_EQ(Decode(dir.Path("both.flac"), {"--channel", "1", "--timestamps"}), alone);
    EXPECT_EQ(Decode(dir.Path("both.flac"), {"--timestamps", "--channel=2"}), other);
    Args each;
    for (const auto& line : alone)
        each.push_back("1 " + line);
    for (const auto& line : other)
        each.push_back("2 " + line);
    std::stable_sort(each.begin(), each.end(), [](const std::string& a, const std::string& b) {
        return std::stod(a.substr(2)) < std::stod(b.substr(2));
    });
    EXPECT_EQ(Decode(dir.Path("both.flac"), {"--each-channel", "--timestamps"}), each);
    EXPECT_EQ(alone.size(), 3u);
    EXPECT_EQ(Decode(dir.Path("both.flac")), Args{});
}

// Pieces of any size, empty ones included, decode exactly as one whole buffer:
// keys, texts and times, a 31 s pause in stream time included.
TEST(Decode, PiecesOfAnySizeDecodeLikeTheWholeRecording)
{
    std::mt19937 random(3);
    std::vector<std::int16_t> recording;
    for (int round = 0; round < 8; ++round) {
        const tool::ToneOptions options{.toneMs = 45.0 + 5 * round,
                                        .gapMs = round == 4 ? 31000.0 : 40.0,
                                        .noise = true,
                                        .snrDb = 4,
                                        .seed = random()};
        const auto piece = tool::GenerateTones(round == 4 ? "7" : kAllKeys, options);
        recording.insert(recording.end(), piece.begin(), piece.end());
    }
    for (auto output : {tool::DecodeOutput::Commands, tool::DecodeOutput::Keys}) {
        std::vector<std::pair<double, std::string>> whole, pieces;
        tool::DecodeSamples(recording, output, [&](double t, std::string_view line) { whole.emplace_back(t, line); });
        tool::Decoder decoder(output, [&](double t, std::string_view line) { pieces.emplace_back(t, line); });
        for (std::size_t at = 0, n; at < recording.size(); at += n) {
            n = std::min<std::size_t>(random() % 3 == 0 ? random() % 8 : random() % 1200, recording.size() - at);
            decoder.Feed(std::span(recording).subspan(at, n));
        }
        EXPECT_EQ(pieces, whole);
        EXPECT_GT(whole.size(), 80u);
    }
}

// The live monitor and the file decoder run the same samples to the same texts,
// misses and false keys of a noisy signal included.
TEST(Decode, AFileDecodesAsTheLiveMonitorHearsIt)
{
    montest::VirtualOnly devices;
    montest::TextWindow window;
    auto samples = std::vector<std::int16_t>(12100, 0);  // capture loses one buffer of this at first
    const auto tones = tool::GenerateTones("9#0123456789ABCD*#7" + kAllKeys,
                                           {.toneMs = 50, .gapMs = 40, .noise = true, .snrDb = 0, .seed = 5});
    samples.insert(samples.end(), tones.begin(), tones.end());
    TempDir dir;
    std::string error;
    ASSERT_TRUE(tool::WriteDetectorWav(dir.Path("live.wav"), samples, error)) << error;
    const Args decoded = Decode(dir.Path("live.wav"));
    samples.resize(samples.size() + 2560, 0);  // the monitor hears whole blocks only
    CommandReader reader(window.hwnd);
    {
        AudioMonitor monitor(&reader, static_cast<int>(vaudio::AddVirtualInput("Live", samples)));
        window.Pump(decoded.size());
        window.Pump(SIZE_MAX, 100ms);
    }
    EXPECT_EQ(window.texts, decoded);
    EXPECT_GT(decoded.size(), 20u);
}

TEST(Tones, LowerCaseKeysAreTheirCapitals)
{
    TempDir dir;
    EXPECT_EQ(Decode(MakeTones(dir, "#abcd")), (Args{"#", "#A", "#AB", "#ABC", "#ABCD"}));
}

TEST(Tones, LevelsTwistAndSeededNoiseAreAsAsked)
{
    const auto samples = tool::GenerateTones("15", {});  // 80 ms + 60 ms at -10 dBFS per tone
    ASSERT_EQ(samples.size(), 2u * (882 + 662));
    const double a2 = std::pow(32767 * std::pow(10.0, -10 / 20.0), 2);  // two sines of amplitude a: power a^2
    EXPECT_NEAR(Power(std::span(samples).first(882)), a2, a2 * 0.02);
    EXPECT_EQ(Power(std::span(samples).subspan(882, 662)), 0.0);
    // The high tone 6 dB up gives (1 + 4) / 2 times the power.
    const auto twisted = tool::GenerateTones("1", {.twistDb = 20 * std::log10(2.0)});
    EXPECT_NEAR(Power(std::span(twisted).first(882)), a2 * 2.5, a2 * 0.05);
    tool::ToneOptions noisy{.toneMs = 0, .gapMs = 10000, .noise = true, .snrDb = 20, .seed = 3};
    const auto noise = tool::GenerateTones("1", noisy);
    EXPECT_NEAR(10 * std::log10(a2 / Power(noise)), 20.0, 0.1);
    EXPECT_EQ(noise, tool::GenerateTones("1", noisy));
    noisy.seed = 4;
    EXPECT_NE(noise, tool::GenerateTones("1", noisy));
}

TEST(Tool, MixKeepsTheCommandAndTheFirstLength)
{
    TempDir dir;
    const auto tones = tool::GenerateTones("#12", {});
    WriteSound(dir.Path("a.wav"), tones, 11025, 1);
    WriteSound(dir.Path("b.wav"), std::vector<std::int16_t>(tones.size() / 2, 0), 11025, 1);
    const Result mixed = RunTool({"mix", dir.Path("a.wav"), dir.Path("b.wav"), "-o", dir.Path("out.wav")});
    ASSERT_EQ(mixed.status, 0) << mixed.err;
    EXPECT_EQ(mixed.out, "");
    std::vector<std::int16_t> samples;
    std::string error;
    ASSERT_TRUE(tool::ReadDetectorSamples(dir.Path("out.wav"), samples, error)) << error;
    EXPECT_EQ(samples.size(), tones.size());
    EXPECT_EQ(Decode(dir.Path("out.wav")), (Args{"#", "#1", "#12"}));
}

TEST(Tool, HelpVersionAndDevicesPrintOnStandardOutput)
{
    for (const auto& [args, needle] : {std::pair<Args, std::string>{{"--help"}, "Exit status"},
                                       {{"help"}, "Exit status"},
                                       {{"decode", "--help"}, "vardell decode [OPTIONS] FILE"},
                                       {{"help", "decode"}, "--timestamps"},
                                       {{"tones", "-h"}, "--seed"},
                                       {{"--version"}, "vardell " VARDELL_VERSION "\n"},
                                       {{"devices"}, "Input devices:"},
                                       {{"devices"}, "Output devices:"}}) {
        const Result result = RunTool(args);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find(needle), std::string::npos) << result.out;
        EXPECT_EQ(result.err, "");
    }
}

TEST(Tool, FailuresExitOneOrTwoWithNothingOnStandardOutput)
{
    TempDir dir;
    const std::string ok = dir.Path("ok.wav"), text = dir.Path("notes.txt"), cut = dir.Path("cut.wav");
    const std::string out = dir.Path("out.wav"), nodir = dir.Path("no/dir/out.wav"), b8k = dir.Path("b8k.wav");
    const std::string missing = dir.Path("missing.wav"), usage = "Usage: vardell";
    WriteSound(ok, tool::GenerateTones("1", {}), 11025, 1);
    WriteSound(b8k, tool::GenerateTones("1", {.sampleRate = 8000}), 8000, 1);  // same channels and bits
    const std::string wavex = dir.Path("wavex.wav"), ulaw = dir.Path("ulaw.wav"), folder = "is a directory";
    WriteSound(wavex, tool::GenerateTones("1", {}), 11025, 1, SF_FORMAT_WAVEX | SF_FORMAT_PCM_24);
    WriteSound(ulaw, tool::GenerateTones("1", {}), 11025, 1, SF_FORMAT_WAV | SF_FORMAT_ULAW);
    std::ofstream(text) << "this is not a sound\n";
    std::ofstream(cut) << std::string("RIFF\x24\0\0\0WAVEfmt ", 16);
    // Usage errors print the usage; other failures one line, naming the file if there is one.
    // Bad usage or input exits 2, a failure of the system (writing a file) 1. A device that
    // is not there is bad input, unless there are none at all (no sound server): status 0 takes either.
    struct Case {
        Args args;
        std::string named;
        int status = 2;
    };
    const Case cases[] = {{{}, usage},
                          {{"decoder", ok}, usage},
                          {{"tones", "12E", "-o", out}, usage},
                          {{"tones", "12"}, usage},
                          {{"tones", "-o", out}, usage},
                          {{"tones", "12", "-o", out, "--level", "nan"}, usage},
                          {{"tones", "12", "-o", out, "--tone-ms", "-5"}, usage},
                          {{"tones", "12", "-o", out, "--seed", "1.5"}, usage},
                          {{"tones", "12", "-o"}, usage},
                          {{"tones", "12", "-o", out, "--bogus"}, usage},
                          {{"decode"}, usage},
                          {{"decode", ok, "--frobnicate"}, usage},
                          {{"decode", ok, ok}, usage},
                          {{"decode", "--keys=yes", ok}, usage},
                          {{"decode", ok, "--channel", "0"}, usage},
                          {{"decode", ok, "--channel", "1", "--each-channel"}, usage},
                          {{"decode", ok, "--channel", "2"}, ok},
                          {{"devices", "extra"}, usage},
                          {{"listen", "0", "1"}, usage},
                          {{"play"}, usage},
                          {{"play", ok, "--device"}, usage},
                          {{"mix", ok, ok}, usage},
                          {{"mix", ok, "-o", out}, usage},
                          {{"decode", missing}, missing},
                          {{"decode", text}, text},
                          {{"decode", cut}, cut},
                          {{"decode", dir.Path("")}, folder},
                          {{"tones", "12", "-o", nodir}, nodir, 1},
                          {{"listen", "no such device here"}, "", 0},
                          {{"listen", "4000000000"}, "", 0},
                          {{"listen", "99999999999999999999999"}, "", 0},
                          {{"play", missing}, missing},
                          {{"play", text}, text},
                          {{"play", wavex}, "format tag 0xFFFE (extensible) is not plain PCM; convert with `sox"},
                          {{"play", dir.Path("")}, folder},
                          {{"play", ok, "--device", "no such output"}, "", 0},
                          {{"play", ok, "--device", "777"}, "", 0},
                          {{"mix", ok, b8k, "-o", out}, ""},
                          {{"mix", ok, missing, "-o", out}, missing},
                          {{"mix", text, ok, "-o", out}, text},
                          {{"mix", ok, ulaw, "-o", out}, "format tag 0x0007 (µ-law)"},
                          {{"mix", dir.Path(""), ok, "-o", out}, folder},
                          {{"mix", ok, ok, "-o", nodir}, nodir, 1}};
    for (const auto& [args, named, status] : cases) {
        const Result result = RunTool(args);
        EXPECT_TRUE(status ? result.status == status : result.status == 1 || result.status == 2)
            << result.status << " " << testing::PrintToString(args);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
        EXPECT_TRUE(named == usage || Lines(result.err).size() == 1) << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}
