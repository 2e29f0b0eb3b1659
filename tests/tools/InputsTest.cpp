// Where decode's audio comes from and where its output goes: raw samples in every encoding, live
// pipes, many files at once, and records for programs.
#include <csignal>
#include <set>

#include "RecordingDecoder.h"
#include "ToolRunner.h"

using namespace tooltest;

namespace {

using Samples = std::vector<std::int16_t>;
const std::string kDecode = VARDELL_TOOL " decode ";

// A TSV output without its file column.
Args WithoutFiles(const std::string& tsv)
{
    Args rows;
    for (const std::string& line : Lines(tsv))
        rows.push_back(line.substr(line.find('\t')));
    return rows;
}

// A WAV header as a writer that cannot seek leaves it (ffmpeg's, with its LIST chunk), 16-bit mono.
std::string StreamedWavHeader(int rate)
{
    std::string header("RIFF\xFF\xFF\xFF\xFFWAVEfmt \x10\0\0\0\x01\0\x01\0", 24);
    for (const long value : {long(rate), 2L * rate})
        for (int shift = 0; shift < 32; shift += 8)
            header += char(value >> shift & 0xFF);
    return header + std::string("\x02\0\x10\0LIST\x04\0\0\0INFOdata\xFF\xFF\xFF\xFF", 24);
}

}  // namespace

// Every raw encoding decodes exactly as libsndfile reads the same samples from a file with a header, from a
// file and through a pipe, every channel, to the records' edges; the headered files through a pipe too.
TEST(Inputs, EachRawEncodingDecodesLikeTheSameSamplesWithAHeader)
{
    TempDir dir;
    const int wav = SF_FORMAT_WAV, aiff = SF_FORMAT_AIFF;  // AIFF: big-endian, and read through the relay from a pipe
    const std::tuple<const char*, int, int, int> rows[] = {
        {"s16le", SF_FORMAT_PCM_16, wav, 11025}, {"s16le", SF_FORMAT_PCM_16, wav, 8000},
        {"s16be", SF_FORMAT_PCM_16, aiff, 8000}, {"u8", SF_FORMAT_PCM_U8, wav, 8000},
        {"s8", SF_FORMAT_PCM_S8, aiff, 8000},    {"s24le", SF_FORMAT_PCM_24, wav, 44100},
        {"s32le", SF_FORMAT_PCM_32, wav, 22050}, {"f32le", SF_FORMAT_FLOAT, wav, 8000},
        {"ulaw", SF_FORMAT_ULAW, wav, 8000},     {"alaw", SF_FORMAT_ALAW, wav, 8000}};
    // The reference is what libsndfile reads: AIFF, or for the WAV rows the same samples in W64,
    // which the library leaves to it while it reads plain WAV itself.
    const std::string headered = dir.Path("h"), reference = dir.Path("w64"), raw = dir.Path("r");
    for (const auto& [encoding, subtype, container, rate] : rows) {
        const Samples one = vardell::GenerateTones("#12", {.noise = true, .snrDb = 25, .sampleRate = rate});
        const Samples two = vardell::GenerateTones("*9#", {.levelDb = -25, .twistDb = 3, .sampleRate = rate});
        WriteChannels(headered, {one, two}, rate, container | subtype);
        WriteChannels(reference, {one, two}, rate, (container == wav ? SF_FORMAT_W64 : container) | subtype);
        const int endian = container == aiff ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE;
        WriteChannels(raw, {one, two}, rate, SF_FORMAT_RAW | subtype | endian);
        const std::string options = " --each-channel --format tsv";
        const std::string rawOptions =
            options + " --raw --channels 2 --encoding " + encoding + " --rate " + std::to_string(rate);
        const Result expected = Shell(kDecode + reference + options);
        ASSERT_EQ(Lines(expected.out).size(), 7u) << encoding << ": " << expected.out;
        for (const std::string& line :
             {kDecode + headered + options, kDecode + raw + rawOptions,
              "cat " + raw + " | " + kDecode + "-" + rawOptions, "cat " + headered + " | " + kDecode + "-" + options}) {
            const Result r = Shell(line);
            EXPECT_TRUE(r.status == 0 && WithoutFiles(r.out) == WithoutFiles(expected.out)) << line << "\n" << r.out;
        }
    }
    // A partial frame at the end: the whole frames decode as before, and a warning says so.
    std::ofstream(raw, std::ios::app) << 'x';
    const Result cut = RunTool({"decode", raw, "--raw", "--rate", "8000", "--encoding", "alaw", "--channels", "2"});
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(Lines(cut.out), (Args{"#", "#1", "#12"}));
    EXPECT_NE(cut.err.find("1 byte(s) at the end do not make a whole frame"), std::string::npos) << cut.err;
}

// A live stream: each line (a text when its key is decided, a record when it ends) comes while the
// writer still holds the pipe open; WAV as an unseekable writer sends it, and raw samples.
TEST(Inputs, LiveLinesArriveBeforeTheInputEnds)
{
    std::signal(SIGPIPE, SIG_IGN);
    for (const bool raw : {false, true}) {
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);  // the child keeps no writing end
        const int rate = raw ? 8000 : 11025;
        Child child(raw ? Args{"decode", "-", "--raw", "--rate", "8000", "--format", "jsonl"} : Args{"decode", "-"},
                    ends[0]);
        close(ends[0]);
        const Samples keys = vardell::GenerateTones("#1", {.toneMs = 100, .gapMs = 300, .sampleRate = rate});
        std::string bytes = raw ? "" : StreamedWavHeader(rate);
        bytes.append(reinterpret_cast<const char*>(keys.data()), keys.size() * 2);
        EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
        EXPECT_TRUE(WaitUntil([&] { return Lines(child.Out()).size() == 2; }, 20s)) << raw << ": " << child.Out();
        close(ends[1]);
        ASSERT_TRUE(child.Wait());
        EXPECT_EQ(child.result.status, 0) << child.result.err;
        const Args lines = Lines(child.result.out);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_TRUE(raw ? lines[1].starts_with(R"({"file":"-","channel":null,"key":"1","start":0.)") &&
                              lines[1].ends_with(R"(,"text":"#1"})")
                        : lines == (Args{"#", "#1"}))
            << lines[1];
    }
}

// Many files: each line names its file, an unreadable file gets its line on stderr and exit status 2,
// and any -j, --files-from and a list on standard input give the same bytes as -j 1.
TEST(Inputs, ManyFilesComeInOrderWithTheirNamesWhateverTheJobs)
{
    TempDir dir;
    Args names;
    std::string expected, list;
    for (int i = 0; i < 10; ++i) {
        if (i == 3 || i == 6)
            names.push_back(dir.Path(i == 3 ? "missing.wav" : ""));  // a missing file, a directory
        names.push_back(dir.Path(std::to_string(i) + ".wav"));
        // The first files are the longest, so that later ones end first under -j.
        const vardell::ToneOptions options{.gapMs = 60.0 + 300 * (9 - i), .sampleRate = 8000};
        WriteChannels(names.back(), {vardell::GenerateTones("*" + std::to_string(i * 37), options)}, 8000);
        for (const std::string& line : Lines(RunTool({"decode", names.back(), "--timestamps"}).out))
            expected += names.back() + ": " + line + "\n";
    }
    for (const std::string& name : names)
        list += name + "\n";
    std::ofstream(dir.Path("list")) << list;
    Args one{"decode", "--timestamps", "-j", "1"};
    one.insert(one.end(), names.begin(), names.end());
    const Result first = RunTool(one);
    EXPECT_EQ(first.status, 2);
    EXPECT_EQ(first.out, expected);
    EXPECT_EQ(Lines(first.err), (Args{"vardell: " + names[3] + ": System error : No such file or directory",
                                      "vardell: " + names[7] + ": is a directory"}));
    for (const char* jobs : {"2", "0", "5"}) {
        Args args = one;
        args[3] = jobs;
        const Result r = RunTool(args);
        EXPECT_TRUE(r.status == 2 && r.out == first.out && r.err == first.err) << jobs << ": " << r.out;
    }
    const Result listed = RunTool({"decode", "--timestamps", "--files-from", dir.Path("list"), "-j", "3"});
    EXPECT_TRUE(listed.status == 2 && listed.out == first.out && listed.err == first.err);
    const Result piped = Shell(kDecode + "--timestamps --files-from - -j 2 2>/dev/null < " + dir.Path("list"));
    EXPECT_TRUE(piped.status == 2 && piped.out == first.out);
}

// Records parse as JSON (Python's reader) and as TSV to the library's own records: channel null or from 1,
// any file name escaped, and the text a window gets, null before the first start key, after a key past the
// 21-character limit and after a pause of more than 30 s.
TEST(Inputs, RecordsParseAsJsonAndTsvAndCarryTheTextAWindowGets)
{
    TempDir dir;
    const std::string mono = dir.Path("mono.wav"), odd = dir.Path("a\"b\\c\td \xC3\xA9\xFF.wav");
    const vardell::ToneOptions at8k{.gapMs = 50, .sampleRate = 8000};
    const std::string before = "1*1234567890", after = "7#12345678901234567890"
                                                       "3";
    Samples samples = vardell::GenerateTones(before, at8k), pause(31 * 8000, 0);
    samples.insert(samples.end(), pause.begin(), pause.end());
    const Samples rest = vardell::GenerateTones(after, at8k);
    samples.insert(samples.end(), rest.begin(), rest.end());
    WriteChannels(mono, {samples}, 8000);
    WriteChannels(odd, {vardell::GenerateTones("#1", at8k), vardell::GenerateTones("*2", at8k)}, 8000);

    std::vector<std::optional<std::string>> texts{std::nullopt};
    for (const std::string& keys : {before.substr(1), after.substr(1, 21)})
        for (std::size_t n = 1; n <= keys.size(); ++n)
            texts.push_back(keys.substr(0, n));
    texts.insert(texts.begin() + 12, std::nullopt), texts.push_back(std::nullopt);
    std::vector<std::pair<std::string, vardell::KeyRecord>> records;
    for (const std::string& file : {mono, odd}) {
        vardell::DecodeSettings settings;
        settings.input.channels.mode = file == odd ? vardell::ChannelChoice::Each : vardell::ChannelChoice::MixDown;
        vardell::DecodeRecording(file, settings, nullptr, [&](const auto& r) { records.emplace_back(file, r); });
    }
    ASSERT_EQ(records.size(), texts.size() + 4);
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_TRUE(records[i].second.text == texts[i] && records[i].second.key == (before + after)[i]) << i;

    // No --each-channel for the mono file: the mix-down of one channel has no number.
    const Result tsv =
        Shell(kDecode + mono + " --format tsv; " + kDecode + "'" + odd + "' --each-channel --format tsv");
    Args rows = Lines(tsv.out);
    ASSERT_EQ(rows.size(), records.size() + 2);
    EXPECT_EQ(rows[0], "file\tchannel\tkey\tstart\tend\ttext");
    rows.erase(rows.begin() + texts.size() + 1), rows.erase(rows.begin());  // the headers
    const auto field = [](double seconds) {
        char s[16];
        std::snprintf(s, sizeof s, "%.3f", seconds);
        return std::string(s);
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& [file, r] = records[i];
        const std::string name = file == odd ? dir.Path("a\"b\\\\c\\td \xC3\xA9\xFF.wav") : file;
        EXPECT_EQ(rows[i], name + "\t" + (r.channel ? std::to_string(r.channel) : "") + "\t" + r.key + "\t" +
                               field(r.Start()) + "\t" + field(r.End()) + "\t" + r.text.value_or(""));
    }
    if (Shell("python3 -c pass").status != 0)
        GTEST_SKIP() << "no python3 to read the JSON";
    // Python reads each JSON line and writes it as TSV: the same rows, the byte that is not UTF-8 replaced.
    const std::string toTsv = R"(
import json, sys
for line in sys.stdin.buffer:
    r = json.loads(line)
    assert list(r) == ['file', 'channel', 'key', 'start', 'end', 'text'], r
    name = r['file'].replace('\\', '\\\\').replace('\t', '\\t')
    blank = lambda v: '' if v is None else str(v)
    row = [name, blank(r['channel']), r['key'], '%.3f' % r['start'], '%.3f' % r['end'], blank(r['text'])]
    sys.stdout.buffer.write(('\t'.join(row) + '\n').encode())
)";
    std::ofstream(dir.Path("to-tsv.py")) << toTsv;
    const Result json = Shell("(" + kDecode + mono + " --format jsonl; " + kDecode + "'" + odd +
                              "' --each-channel --format jsonl) | python3 " + dir.Path("to-tsv.py"));
    std::string expected;
    for (const std::string& row : rows)
        expected += row + "\n";
    for (std::size_t at; (at = expected.find('\xFF')) != std::string::npos;)
        expected.replace(at, 1, "\xEF\xBF\xBD");
    EXPECT_EQ(json.out, expected) << json.out;
}

// Formats that libsndfile does not read (AAC in .m4a here) come in through ffmpeg and --raw.
TEST(Inputs, FfmpegBringsInWhatLibsndfileCannotRead)
{
    if (Shell("ffmpeg -version >/dev/null 2>&1").status != 0)
        GTEST_SKIP() << "no ffmpeg";
    TempDir dir;
    const std::string wav = dir.Path("call.wav"), m4a = dir.Path("call.m4a");
    WriteChannels(wav, {vardell::GenerateTones("#1590*", {.sampleRate = 8000})}, 8000);
    ASSERT_EQ(Shell("ffmpeg -loglevel error -i " + wav + " " + m4a).status, 0);
    EXPECT_EQ(RunTool({"decode", m4a}).status, 2);
    const Result r =
        Shell("ffmpeg -loglevel error -i " + m4a + " -f s16le -ac 1 -ar 8000 - | " + kDecode + "--raw --rate 8000 -");
    EXPECT_TRUE(r.status == 0 && Lines(r.out) == montest::Texts("#1590*")) << r.out;
}
