// vardell redact end to end: generated calls in several formats lose every typed key and nothing else.
#include <cmath>
#include <cstring>
#include <map>
#include <random>

#include "Redactor.h"
#include "Tones.h"
#include "ToolRunner.h"

using namespace tooltest;

namespace {

struct Key {
    std::size_t start, end;
    int channel;  // from 1
};
struct Span {
    std::uint64_t start, end;
    int channel;  // from 1; 0: several
};

// Stereo at `rate`, full scale 1: voiced syllables on both channels (harmonics of
// a gliding pitch over a noise floor) and runs of keys typed on either, over the
// speech and between it, from 15 ms long and -35 dBFS, the last as the call ends.
std::vector<double> MakeCall(int rate, std::vector<Key>& keys)
{
    const std::size_t frames = 8 * static_cast<std::size_t>(rate);
    std::vector<double> call(2 * frames);
    std::mt19937 random(static_cast<unsigned>(rate));
    std::normal_distribution<double> floor(0, 3e-4);
    for (int c = 0; c < 2; ++c) {
        double phase = 0;
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / rate, syllable = std::max(0.0, std::sin(2 * M_PI * (3 + c) * t));
            phase += 2 * M_PI * (120 + 80 * c + 30 * std::sin(2 * M_PI * 0.7 * t)) / rate;
            for (int h = 1; h <= 15; ++h)
                call[2 * i + c] += 0.15 * syllable * syllable * std::sin(h * phase) / h;
            call[2 * i + c] += floor(random);
        }
    }
    const struct {
        const char* keys;
        double toneMs, gapMs, levelDb;
        int channel;
        double at;
    } runs[] = {{"4929", 15, 60, -12, 0, 0.5},  // as short as the short-tone finder takes
                {"1357", 28, 50, -20, 1, 1.7},
                {"70#8", 70, 80, -10, 0, 3.1},  // begins with the key that the last run ended with
                {"62", 45, 40, -35, 1, 4.6},
                {"ABCD", 100, 60, -25, 0, 5.9},
                {"ABCD", 100, 60, -31, 1, 5.93},  // its echo on the other channel
                {"5", 60, 0, -15, 1, 7.94}};      // sounding as the call ends
    for (const auto& run : runs) {
        const auto tones = vardell::GenerateTones(
            run.keys, {.toneMs = run.toneMs, .gapMs = run.gapMs, .levelDb = run.levelDb, .sampleRate = rate});
        const auto at = static_cast<std::size_t>(run.at * rate), each = tones.size() / std::strlen(run.keys);
        for (std::size_t i = 0; i < tones.size(); ++i)
            call[2 * (at + i) + run.channel] += tones[i] / 32768.0;
        for (std::size_t k = 0; k < std::strlen(run.keys); ++k)
            keys.push_back(
                {at + k * each, at + k * each + static_cast<std::size_t>(run.toneMs * rate / 1000), run.channel + 1});
    }
    return call;
}

// A file's frames as libsndfile's ints (floating point as its float bits), and its format.
std::vector<std::int32_t> ReadFrames(const std::string& path, SF_INFO& info)
{
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    std::vector<std::int32_t> frames(static_cast<std::size_t>(info.frames * info.channels));
    if ((info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT)
        sf_readf_float(file, reinterpret_cast<float*>(frames.data()), info.frames);
    else
        sf_readf_int(file, frames.data(), info.frames);
    sf_close(file);
    return frames;
}

// The report's spans; every line must be exactly {"file":...,"channel":N,"start":N,"end":N,"fill":"..."}.
std::vector<Span> ReadReport(const std::string& path, const std::string& input, const std::string& fill)
{
    std::vector<Span> spans;
    for (const std::string& line : Lines(ReadFile(path))) {
        int channel = -1;
        unsigned long long start = 0, end = 0;
        const std::string head = "{\"file\":\"" + input + "\",";
        EXPECT_EQ(line.substr(0, head.size()), head);
        EXPECT_EQ(std::sscanf(line.c_str() + head.size(), "\"channel\":%d,\"start\":%llu,\"end\":%llu", &channel,
                              &start, &end),
                  3)
            << line;
        EXPECT_EQ(line, head + "\"channel\":" + std::to_string(channel) + ",\"start\":" + std::to_string(start) +
                            ",\"end\":" + std::to_string(end) + ",\"fill\":\"" + fill + "\"}");
        EXPECT_TRUE(channel >= 0 && channel <= 2 && start < end && (spans.empty() || spans.back().end < start)) << line;
        spans.push_back({start, end, channel});
    }
    return spans;
}

}  // namespace

// Each format is redacted by the tool, and by the library in pieces of any size to the same samples; the
// spans cover every typed key, both detection modes hear none in the result, and nothing else changes.
TEST(Redact, GeneratedCallsLoseEveryTypedKeyAndNothingElse)
{
    TempDir dir;
    const struct {
        const char* name;
        int format, rate;
        Args options;
    } rows[] = {{"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, {}},
                {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 16000, {"--fill", "noise"}},
                {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, {"--strict"}},
                {"flac16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 8000, {"--fill", "noise", "--strict"}},
                {"ulaw.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 11025, {}}};
    std::map<std::string, std::string> golden;
    for (const std::string& line : Lines(ReadFile(VARDELL_GOLDEN_REDACT)))
        golden[line.substr(0, line.find(": "))] = line;
    // The library's fixed delay, as its header and the README give it: 0.31 s at 8000 Hz, 0.30 s at 11025 Hz.
    const std::map<int, std::size_t> delays{{8000, 2499}, {11025, 3335}, {16000, 5597}, {44100, 16257}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(vardell::Redactor<float>(2, row.rate).Delay(), delays.at(row.rate));
        std::vector<Key> keys;
        const auto call = MakeCall(row.rate, keys);
        const std::string in = dir.Path(row.name), out = dir.Path(std::string("out-") + row.name);
        SF_INFO info{0, row.rate, 2, row.format, 0, 0};
        SNDFILE* file = sf_open(in.c_str(), SFM_WRITE, &info);
        sf_writef_double(file, call.data(), static_cast<sf_count_t>(call.size() / 2));
        sf_close(file);

        Args args{"redact", in, "-o", out, "--report", dir.Path("report")};
        args.insert(args.end(), row.options.begin(), row.options.end());
        const Result result = RunTool(args);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out + result.err, "");
        const bool noise = !row.options.empty() && row.options[0] == "--fill";
        const auto spans = ReadReport(dir.Path("report"), in, noise ? "noise" : "silence");
        std::string placed;  // where each span lies is behaviour too: kept in golden-redact.txt
        for (const Span& span : spans)
            placed += (placed.empty() ? "" : "|") + std::to_string(span.channel) + " " + std::to_string(span.start) +
                      "-" + std::to_string(span.end);
        EXPECT_EQ(row.name + (": " + placed), golden.at(row.name)) << "golden spans";
        for (const Key& key : keys)
            EXPECT_TRUE(std::any_of(spans.begin(), spans.end(),
                                    [&](Span s) { return s.start <= key.start && key.end <= s.end; }))
                << "key at " << key.start;
        for (const Span& span : spans) {  // the channel its keys were typed on, or 0 for both
            int channels = 0;
            for (const Key& key : keys)
                if (key.start < span.end && span.start < key.end)
                    channels |= 1 << (key.channel - 1);
            EXPECT_EQ(span.channel, channels == 3 ? 0 : channels) << "span at " << span.start;
        }
        for (std::size_t i = 1; i < spans.size(); ++i)  // closer ones are joined
            EXPECT_GE(spans[i].start - spans[i - 1].end, std::uint64_t(row.rate) * vardell::kRedactJoinMs / 1000);
        // ... and no more: every frame of a span lies within 100 ms of a typed key.
        std::vector<bool> near(call.size() / 2);
        for (const Key& key : keys)
            std::fill(near.begin() + std::max<std::ptrdiff_t>(0, std::ptrdiff_t(key.start) - row.rate / 10),
                      near.begin() + std::min(near.size(), key.end + row.rate / 10), true);
        for (const Span& span : spans)
            EXPECT_TRUE(std::all_of(near.begin() + std::ptrdiff_t(span.start), near.begin() + std::ptrdiff_t(span.end),
                                    [](bool b) { return b; }))
                << "span " << span.start << "-" << span.end;

        SF_INFO before{}, after{};
        const auto original = ReadFrames(in, before), redacted = ReadFrames(out, after);
        EXPECT_TRUE(before.format == after.format && before.samplerate == after.samplerate &&
                    before.channels == after.channels && before.frames == after.frames);
        std::size_t changed = 0, filled = 0;
        for (std::size_t f = 0, span = 0; f < redacted.size() / 2; ++f) {
            while (span < spans.size() && spans[span].end <= f)
                ++span;
            const bool inside = span < spans.size() && spans[span].start <= f;
            const bool same = original[2 * f] == redacted[2 * f] && original[2 * f + 1] == redacted[2 * f + 1];
            changed += !inside && !same, filled += inside && (redacted[2 * f] != 0 || redacted[2 * f + 1] != 0);
        }
        EXPECT_EQ(changed, 0u);
        EXPECT_EQ(filled > 0, noise) << filled;
        for (const Args& mode : {Args{}, Args{"--strict"}}) {
            Args decode{"decode", out, "--keys", "--each-channel"};
            decode.insert(decode.end(), mode.begin(), mode.end());
            EXPECT_EQ(RunTool(decode).out, "") << testing::PrintToString(mode);
        }

        // The library, in pieces of random sizes and in place, gives the tool's samples.
        if ((row.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 && !noise) {
            vardell::Redactor<std::int32_t> redactor(2, row.rate);
            std::vector<std::int32_t> frames = original, piece;
            std::mt19937 random(3);
            std::size_t at = 0, made = 0;
            while (at < frames.size() / 2) {
                const std::size_t n = std::min(frames.size() / 2 - at, std::size_t{random() % 3000});
                piece.assign(frames.begin() + 2 * at, frames.begin() + 2 * (at + n));
                const std::size_t got = redactor.Process(piece.data(), n, piece.data());
                std::copy_n(piece.begin(), 2 * got, frames.begin() + 2 * made);
                at += n, made += got;
            }
            EXPECT_EQ(made + redactor.Finish(frames.data() + 2 * made), at);
            EXPECT_EQ(frames, redacted);
        }
    }
}

// Each row: exit status, what standard error names, commands (files by name). A refusal leaves no output
// behind; a lossy input goes to a float WAV; several inputs go into a directory; pipes carry WAV both ways.
TEST(Redact, RefusalsLossyInputsDirectoriesAndPipes)
{
    TempDir dir;
    std::map<std::string, std::string> files{{"DIR", dir.Path("")}, {"NODIR", dir.Path("no/such/out.wav")}};
    for (const char* name : {"OK", "TEXT", "OUT", "OGG", "OGG.ogg", "OGG.wav", "MONO"})
        files[name] = dir.Path(name);
    const auto keys = vardell::GenerateTones("*12#", {.sampleRate = 8000});
    WriteChannels(files["OK"], {keys, keys}, 8000);
    WriteChannels(files["MONO"], {keys}, 8000);
    WriteChannels(files["OGG"], {keys}, 8000, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    std::ofstream(files["TEXT"]) << "this is not a sound\n";
    const std::tuple<int, std::string, std::string> cases[] = {
        {2, "Usage: vardell redact",
         "redact OK; redact -o OUT; redact OK -o OUT --fill loud; redact OK -o - --report -"},
        {2, "TEXT", "redact TEXT -o OUT"},
        {2, "the output is the input itself", "redact OK -o OK"},
        {2, "lossy", "redact OGG -o OGG.ogg"},
        {2, "not a directory", "redact OK MONO -o OUT"},
        {1, "NODIR", "redact OK -o NODIR; redact OK -o OUT --report NODIR"},
        {0, "", "redact OGG -o OGG.wav; redact OK MONO -o DIR/out -j 2"},
    };
    std::filesystem::create_directory(dir.Path("out"));
    for (const auto& [status, named, commands] : cases) {
        for (const std::string& command : Lines(commands, ';')) {
            Args args;
            std::istringstream words(command);
            for (std::string word; words >> word;)
                args.push_back(files.contains(word)       ? files[word]
                               : word.starts_with("DIR/") ? dir.Path(word.substr(4))
                                                          : word);
            const Result r = RunTool(args);
            EXPECT_EQ(r.status, status) << command << ": " << r.err;
            EXPECT_NE(r.err.find(files.contains(named) ? files[named] : named), std::string::npos) << command << r.err;
            EXPECT_EQ(r.out, "") << command;
        }
    }
    for (const char* name : {"OUT", "OGG.ogg"})
        EXPECT_FALSE(std::filesystem::exists(files[name])) << name;
    SF_INFO info{};
    SNDFILE* copy = sf_open(files["OGG.wav"].c_str(), SFM_READ, &info);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    sf_close(copy);
    for (const char* name : {"OK", "MONO"})
        EXPECT_EQ(RunTool({"decode", dir.Path(std::string("out/") + name), "--keys", "--each-channel"}).out, "");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.dir))
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();

    // From a file into a pipe, the same bytes as file to file; from a pipe into one too, but for the
    // lengths that the header cannot know (all ones). Arbitrary bytes are refused.
    const std::string tool = VARDELL_TOOL, expected = ReadFile(dir.Path("out/OK"));
    const std::string fromFile = "'" + tool + "' redact '" + files["OK"] + "' -o - | cat >'" + files["OUT"] + "'";
    const std::string fromPipe =
        "cat '" + files["OK"] + "' | '" + tool + "' redact - -o - | cat >'" + files["OUT"] + "'";
    for (const std::string& command : {fromFile, fromPipe}) {
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::string got = ReadFile(files["OUT"]);
        ASSERT_EQ(got.size(), expected.size()) << command;
        for (const std::size_t at : {std::size_t{4}, std::size_t{40}})  // the RIFF and data lengths
            if (command == fromPipe && got.substr(at, 4) == std::string(4, '\xFF'))
                got.replace(at, 4, expected, at, 4);
        EXPECT_EQ(got, expected) << command;
    }
    EXPECT_NE(
        std::system(
            ("head -c 3000 /dev/urandom | '" + tool + "' redact - -o '" + files["OGG.ogg"] + "' 2>/dev/null").c_str()),
        0);
    EXPECT_FALSE(std::filesystem::exists(files["OGG.ogg"]));
}
