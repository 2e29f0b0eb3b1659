// The vardell tool end to end: tones -> decode, mix, and every way it refuses.
#include <map>
#include <random>

#include "Decoder.h"
#include "ToolRunner.h"

using namespace tooltest;

namespace {

using Samples = std::vector<std::int16_t>;
const std::string kAllKeys = "#0123456789ABCD*";

Args Decode(const std::string& path, Args options = {})
{
    options.insert(options.begin(), {"decode", path});
    const Result result = RunTool(options);
    EXPECT_TRUE(result.status == 0 && result.err.empty()) << result.err;
    return Lines(result.out);
}

Samples Join(std::initializer_list<Samples> parts)
{
    Samples all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace

// Lowercase keys decode as their capitals; a mix keeps the first file's length and
// its keys; silence and an empty file hold none.
TEST(Decode, EveryKeyFromTheToolsOwnTonesAndMixesAndNothingFromSilence)
{
    TempDir dir;
    const Args texts = montest::Texts(kAllKeys);
    for (const Args& options :
         {Args{}, Args{"--noise", "20", "--seed", "7"}, Args{"--twist", "4"}, Args{"--twist", "-4"},
          Args{"--level", "-40"}, Args{"--tone-ms", "50", "--gap-ms", "40"}}) {
        Args args{"tones", options.empty() ? "#0123456789abcd*" : kAllKeys, "-o", dir.Path("t.wav")};
        args.insert(args.end(), options.begin(), options.end());
        ASSERT_EQ(RunTool(args).status, 0) << testing::PrintToString(args);
        EXPECT_EQ(Decode(dir.Path("t.wav")), texts) << testing::PrintToString(args);
    }
    WriteChannels(dir.Path("s.wav"), {Samples(1000, 0)}, 11025);
    const Result mixed = RunTool({"mix", dir.Path("t.wav"), dir.Path("s.wav"), "-o", dir.Path("m.wav")});
    EXPECT_EQ(mixed.status + mixed.out.size(), 0u) << mixed.err;
    EXPECT_EQ(std::filesystem::file_size(dir.Path("m.wav")), std::filesystem::file_size(dir.Path("t.wav")));
    EXPECT_EQ(Decode(dir.Path("m.wav")), texts);
    EXPECT_TRUE(Decode(dir.Path("s.wav")).empty());
    WriteChannels(dir.Path("s.wav"), {Samples{}}, 11025);
    EXPECT_TRUE(Decode(dir.Path("s.wav")).empty());
}

// Decoded outputs kept in golden.txt, one line per recording and mode, lines joined by '|': any change,
// even of a timestamp or of a key's edge in its record, is a change of behaviour. Also checked: the same
// without stamps, and through a pipe.
TEST(Decode, OutputIsExactlyTheGoldenOne)
{
    using vardell::GenerateTones;
    TempDir dir;
    const auto path = [&](const std::string& name) { return dir.Path(name + ".wav"); };
    WriteChannels(path("noisy-11025-mono"),
                  {GenerateTones("#159D*0A", {.toneMs = 55, .gapMs = 45, .noise = true, .snrDb = 6, .seed = 9})},
                  11025);
    // One party per channel, taking turns: the mix-down hears both at half level.
    const vardell::ToneOptions at8k{.toneMs = 90, .gapMs = 150, .sampleRate = 8000};
    const Samples turn(3840, 0);  // as long as two keys
    WriteChannels(path("stereo-8000"),
                  {Join({GenerateTones("#1", at8k), turn, GenerateTones("25", at8k), turn}),
                   Join({turn, GenerateTones("*3", at8k), turn, GenerateTones("4#", at8k)})},
                  8000);
    WriteChannels(path("24bit-44100"), {GenerateTones("#A7*B", {.levelDb = -35, .twistDb = 4, .sampleRate = 44100})},
                  44100, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    auto cut = GenerateTones("*80", {.toneMs = 62, .gapMs = 30, .sampleRate = 22050});
    cut.resize(cut.size() - 1501);
    WriteChannels(path("odd-float-22050"), {cut}, 22050, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    // 21 characters and more; 31 s, then 29.9 s between two keys (the gap rule counts whole seconds).
    const vardell::ToneOptions slow{.sampleRate = 8000};
    WriteChannels(path("long-gaps-8000"),
                  {Join({GenerateTones("*1234567890123456789012", slow),
                         GenerateTones("#", {.gapMs = 31000, .sampleRate = 8000}), GenerateTones("7*", slow),
                         GenerateTones("6", {.gapMs = 29900, .sampleRate = 8000}), GenerateTones("9", slow)})},
                  8000);

    std::map<std::string, std::string> golden;
    for (const std::string& line : Lines(ReadFile(VARDELL_GOLDEN)))
        golden[line.substr(0, line.find(": "))] = line.substr(line.find(": ") + 2);
    ASSERT_EQ(golden.size(), 20u);
    for (const auto& [name, expected] : golden) {
        const std::string recording = path(name.substr(0, name.find(' ')));
        if (name.ends_with("records")) {  // TSV less the header and the file column, in either mode
            Args records;
            const Args tsv = Decode(recording, name.ends_with("strict records") ? Args{"--format=tsv", "--strict"}
                                                                                : Args{"--format=tsv"});
            for (auto line = tsv.begin() + 1; line < tsv.end(); ++line)
                records.push_back(line->substr(line->find('\t') + 1));
            EXPECT_EQ(records, Lines(expected, '|')) << name;
            continue;
        }
        const Args keys = name.ends_with("keys") ? Args{"--keys"} : Args{};
        Args stamped = keys, plain;
        stamped.push_back("--timestamps");
        const Args lines = Decode(recording, stamped);
        EXPECT_EQ(lines, Lines(expected, '|')) << name;
        for (const std::string& line : lines)
            plain.push_back(line.substr(line.find(' ') + 1));
        EXPECT_EQ(Decode(recording, keys), plain) << name;
        if (keys.empty()) {  // the same through a pipe
            const Result piped = Shell("cat '" + recording + "' | '" VARDELL_TOOL "' decode - --timestamps");
            EXPECT_TRUE(piped.status == 0 && Lines(piped.out) == lines) << name << ": " << piped.out;
        }
    }
}

// Two parties speaking at once: the mix-down hears neither, each channel alone its own.
TEST(Decode, OneChannelAndEachChannelDecodeLikeTheirOwnFiles)
{
    TempDir dir;
    for (const int rate : {8000, 11025}) {  // resampled, or 16-bit samples taken as they are
        const auto left = vardell::GenerateTones("#12", {.sampleRate = rate});
        const auto right = vardell::GenerateTones("*9#", {.twistDb = 3, .sampleRate = rate});
        const std::string both = dir.Path("both.flac");
        WriteChannels(both, {left, right}, rate, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        WriteChannels(dir.Path("1.wav"), {left}, rate);
        WriteChannels(dir.Path("2.wav"), {right}, rate);
        const Args one = Decode(dir.Path("1.wav"), {"--timestamps"}), two = Decode(dir.Path("2.wav"), {"--timestamps"});
        ASSERT_TRUE(one.size() == 3 && two.size() == 3);
        EXPECT_EQ(Decode(both, {"--channel", "1", "--timestamps"}), one);
        EXPECT_EQ(Decode(both, {"--timestamps", "--channel=2"}), two);
        Args each;  // in time order; the keys of both come at the same times
        for (std::size_t i = 0; i < 3; ++i)
            each.insert(each.end(), {"1 " + one[i], "2 " + two[i]});
        EXPECT_EQ(Decode(both, {"--each-channel", "--timestamps"}), each);
        EXPECT_EQ(Decode(both), Args{});
    }
}

// Pieces of any size, empty ones included, decode exactly as one whole buffer:
// keys, texts and times, a 31 s pause in stream time included.
TEST(Decode, PiecesOfAnySizeDecodeLikeTheWholeRecording)
{
    std::mt19937 random(3);
    Samples recording;
    for (int round = 0; round < 8; ++round) {
        const vardell::ToneOptions options{
            .toneMs = 45.0 + 5 * round, .gapMs = round == 4 ? 31e3 : 40, .noise = true, .snrDb = 4, .seed = random()};
        recording = Join({recording, vardell::GenerateTones(round == 4 ? "7" : kAllKeys, options)});
    }
    for (auto output : {vardell::DecodeOutput::Commands, vardell::DecodeOutput::Keys}) {
        std::vector<std::pair<double, std::string>> whole, pieces;
        vardell::DecodeSamples(recording.data(), recording.size(), output,
                               [&](double t, std::string_view line) { whole.emplace_back(t, line); });
        vardell::Decoder decoder(output, [&](double t, std::string_view line) { pieces.emplace_back(t, line); });
        for (std::size_t at = 0, n; at < recording.size(); at += n) {
            n = std::min<std::size_t>(random() % 3 == 0 ? random() % 8 : random() % 1200, recording.size() - at);
            decoder.Feed(recording.data() + at, n);
        }
        EXPECT_EQ(pieces, whole);
        EXPECT_GT(whole.size(), 80u);
    }
}

// The live monitor and the file decoder run the same samples to the same texts,
// misses and false keys of a noisy signal included (a resampler would change them).
TEST(Decode, AFileDecodesAsTheLiveMonitorHearsIt)
{
    montest::VirtualOnly devices;
    montest::TextWindow window;
    auto samples =
        Join({Samples(2048, 0), vardell::GenerateTones("9#0123456789ABCD*#7" + kAllKeys,
                                                       {.toneMs = 50, .gapMs = 40, .noise = true, .seed = 5})});
    TempDir dir;
    WriteChannels(dir.Path("live.wav"), {samples}, 11025);
    const Args decoded = Decode(dir.Path("live.wav"));
    samples.resize(samples.size() + 2560, 0);  // the monitor hears whole blocks only
    CommandReader reader(window.hwnd);
    AudioMonitor monitor(&reader, int(vaudio::AddVirtualInput("Live", samples, {vaudio::Pacing::RealTime})));
    window.Pump(decoded.size());
    window.Pump(SIZE_MAX, 100ms);
    EXPECT_EQ(window.texts, decoded);
    EXPECT_GT(decoded.size(), 20u);
}

// Each row: exit status, what the output names, commands. Help and version print on standard output
// only; a failure prints nothing there, and on standard error the usage or one line naming the file if
// any. Bad usage or input exits 2, a failure of the system (writing a file) 1; a missing device is bad
// input unless there are none at all (no sound server here): -1 takes either.
TEST(Tool, HelpVersionAndFailuresWithTheirExitStatus)
{
    TempDir dir;
    std::map<std::string, std::string> files{{"NODIR", dir.Path("no/dir/out.wav")}, {"DIR", dir.Path("")}};
    for (const char* name : {"OK", "TEXT", "CUT", "OUT", "MISSING", "B8K", "WAVEX", "ULAW"})
        files[name] = dir.Path(std::string(name) + ".wav");
    WriteChannels(files["OK"], {vardell::GenerateTones("1", {})}, 11025);
    WriteChannels(files["B8K"], {vardell::GenerateTones("1", {.sampleRate = 8000})}, 8000);  // same channels and bits
    WriteChannels(files["WAVEX"], {vardell::GenerateTones("1", {})}, 11025, SF_FORMAT_WAVEX | SF_FORMAT_PCM_24);
    WriteChannels(files["ULAW"], {vardell::GenerateTones("1", {})}, 11025, SF_FORMAT_WAV | SF_FORMAT_ULAW);
    std::ofstream(files["TEXT"]) << "this is not a sound\n";
    std::ofstream(files["CUT"]) << std::string("RIFF\x24\0\0\0WAVEfmt ", 16);
    const std::string usage = "Usage: vardell";
    const std::tuple<int, std::string, std::string> cases[] = {
        {0, "Exit status", "--help; help"},
        {0, "vardell decode [OPTIONS] [FILE...]", "decode --help"},
        {0, "--timestamps", "help decode"},
        {0, "--seed", "tones -h"},
        {0, "vardell " VARDELL_VERSION "\n", "--version"},
        {2, usage, "; decoder OK; tones 12E -o OUT; tones 12; tones -o OUT; tones 12 -o OUT --level nan"},
        {2, usage, "tones 12 -o OUT --tone-ms -5; tones 12 -o OUT --seed 1.5; tones 12 -o; tones 12 -o OUT --bogus"},
        {2, usage,
         "decode; decode OK --frobnicate; decode OK --format xml; decode --keys=yes OK; decode OK --channel 0"},
        {2, usage, "decode OK --channel 1 --each-channel; devices extra; listen 0 1; play; play OK --device"},
        {2, usage, "mix OK OK; mix OK -o OUT"},
        {2, usage, "decode OK --rate 8000; decode --raw OK; decode --raw --rate 8000 --encoding s12 OK"},
        {2, usage, "decode --raw --rate 10 OK; decode --raw --rate 8000 --channels 0 OK; decode - -; decode OK -j -1"},
        {2, usage, "decode OK --format tsv --keys; decode OK --format jsonl --timestamps; decode --files-from"},
        {2, "OK", "decode OK --raw --rate 8000 --channels 2 --channel 3"},
        {2, "MISSING", "decode --files-from MISSING"},
        {2, "OK", "decode OK --channel 2"},
        {2, "MISSING", "decode MISSING; play MISSING; mix OK MISSING -o OUT"},
        {2, "TEXT", "decode TEXT; play TEXT; mix TEXT OK -o OUT"},
        {2, "CUT", "decode CUT"},
        {2, "is a directory", "decode DIR; play DIR; mix DIR OK -o OUT"},
        {2, "format tag 0xFFFE (extensible) is not plain PCM; convert with `sox", "play WAVEX"},
        {2, "format tag 0x0007 (µ-law)", "mix OK ULAW -o OUT"},
        {2, "", "mix OK B8K -o OUT"},
        {1, "NODIR", "tones 12 -o NODIR; mix OK OK -o NODIR"},
        {1, "is a directory", "tones 12 -o DIR"},
        {-1, "", "listen nowhere; listen 4000000000; listen 99999999999999999999999; play OK --device 777"},
        {-1, "", "play OK --device nowhere"},
    };
    for (const auto& [status, named, commands] : cases) {
        for (const std::string& command : Lines(commands, ';')) {
            Args args;
            std::istringstream words(command);
            for (std::string word; words >> word;)
                args.push_back(files.contains(word) ? files[word] : word);
            const Result r = RunTool(args);
            EXPECT_TRUE(status < 0 ? r.status == 1 || r.status == 2 : r.status == status) << r.status << command;
            EXPECT_NE((status ? r.err : r.out).find(files.contains(named) ? files[named] : named), std::string::npos)
                << command << ": " << r.out << r.err;
            EXPECT_EQ(status ? r.out : r.err, "") << command;
            EXPECT_TRUE(!status || named == usage || Lines(r.err).size() == 1) << command << ": " << r.err;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(files["OUT"]));
}
