// vardell decode: the command texts in recordings, as a listening application would see them,
// or a record of each key for programs.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "KeyRecords.h"
#include "OrderedJobs.h"
#include "Options.h"
#include "RecordingDecoder.h"

namespace tool {

namespace {

struct DecodeArgs {
    std::vector<std::string> files;
    std::string filesFrom;  // a list of names, one a line; "-": standard input
    unsigned jobs = 1;
    std::string format = "text";
    bool keys = false;
    bool timestamps = false;
    bool strict = false;
    int channel = 0;  // from 1; 0: the mix-down
    bool eachChannel = false;
    bool raw = false;
    int rate = 0;
    std::string encoding = "s16le";
    int channels = 1;
};

// A path as the error lines name it.
std::string Named(const std::string& path)
{
    return path == "-" ? "standard input" : path;
}

// The recordings named by the operands, then by the list; false if the list cannot be read.
bool Recordings(const DecodeArgs& args, std::vector<std::string>& names)
{
    names = args.files;
    if (args.filesFrom.empty() && names.empty())
        throw CLI::ValidationError("FILE", "a recording or --files-from is required");
    if (std::count(names.begin(), names.end(), "-") + (args.filesFrom == "-") > 1)
        throw CLI::ValidationError("-", "standard input can be read only once");
    if (args.filesFrom.empty())
        return true;
    std::ifstream file;
    if (std::filesystem::is_directory(args.filesFrom)) {
        errno = EISDIR;
        return false;
    }
    if (args.filesFrom != "-")
        file.open(args.filesFrom);
    std::istream& list = args.filesFrom == "-" ? std::cin : file;
    for (std::string name; list && std::getline(list, name);)
        if (!name.empty())
            names.push_back(name);
    return !list.bad() && (args.filesFrom == "-" || file.is_open());
}

vardell::DecodeSettings Settings(const DecodeArgs& args)
{
    vardell::DecodeSettings settings;
    if (args.channel > 0)
        settings.input.channels = {vardell::ChannelChoice::One, args.channel - 1};
    else if (args.eachChannel)
        settings.input.channels.mode = vardell::ChannelChoice::Each;
    if (args.raw)
        settings.input.raw = vardell::RawFormat{args.rate, *vardell::ParseSampleEncoding(args.encoding), args.channels};
    settings.output = args.keys ? vardell::DecodeOutput::Keys : vardell::DecodeOutput::Commands;
    settings.strict = args.strict;
    return settings;
}

int RunDecode(const DecodeArgs& args)
{
    if (args.format != "text" && (args.keys || args.timestamps))
        throw CLI::ValidationError("--format", "--keys and --timestamps belong to the text format");
    std::vector<std::string> names;
    if (!Recordings(args, names))
        return Fail(Named(args.filesFrom) + ": " + std::strerror(errno));
    const vardell::DecodeSettings settings = Settings(args);
    const bool text = args.format == "text", many = names.size() > 1;
    const RecordFormat format = args.format == "tsv" ? RecordFormat::Tsv : RecordFormat::Jsonl;
    if (!text)
        std::fputs(RecordHeader(format).c_str(), stdout);

    const int status = RunInOrder(names.size(), args.jobs, [&](std::size_t job, JobOutput& out) {
        const std::string& path = names[job];
        if (vardell::IsLiveInput(path))
            out.Live();
        const std::string prefix = !many ? "" : path == "-" ? "(standard input): " : path + ": ";  // as grep
        const auto line = [&](int channel, double seconds, std::string_view line) {
            std::string printed = prefix;
            if (args.eachChannel)
                printed += std::to_string(channel) + " ";
            if (args.timestamps) {
                char stamp[32];
                std::snprintf(stamp, sizeof stamp, "%.3f ", seconds);
                printed += stamp;
            }
            out.Print(printed.append(line) + "\n");
        };
        const auto record = [&](const vardell::KeyRecord& r) { out.Print(FormatRecord(format, path, r)); };
        const vardell::ReadOutcome read = vardell::DecodeRecording(
            path, settings, text ? vardell::LineSink(line) : nullptr, text ? nullptr : vardell::RecordSink(record));
        if (!read.warning.empty())
            out.Fail(Named(path) + ": " + read.warning);
        return read.ok() ? kExitDone : out.Fail(Named(path) + ": " + read.error);
    });
    // Each line was flushed as it came: a failed write shows in the error flag.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return Fail("cannot write to standard output", kExitRuntime);
    return status;
}

std::vector<std::string> EncodingNames()
{
    std::vector<std::string> names;
    for (const auto encoding : vardell::kSampleEncodings)
        names.emplace_back(vardell::SampleEncodingName(encoding));
    return names;
}

}  // namespace

CommandRun AddDecode(CLI::App& app)
{
    auto args = std::make_shared<DecodeArgs>();
    CLI::App& command = *app.add_subcommand("decode", "print the command texts found in recordings");
    command.footer(R"(Prints every command text found in the recording FILE, one per line, in
order, exactly as a listening application receives them: a command begins
with * or #, each key adds a line with the text so far, and a text stops
growing after 21 characters or a pause of more than 30 seconds.
FILE may be any sound file that libsndfile reads (WAV PCM 8/16/24/32-bit,
float, FLAC, ...), headerless samples with --raw, or - for standard input,
which may be a pipe or a live stream (each line comes as its key does):
  sox call.flac -t wav - | vardell decode -
  rtl_fm -M fm -s 22050 - | vardell decode --raw --rate 22050 -
  ffmpeg -i call.m4a -f s16le -ac 1 -ar 8000 - | vardell decode --raw --rate 8000 -
It is decoded as it is read, in constant memory. Its channels are mixed
down to mono unless --channel or --each-channel says otherwise, and it is
resampled to 11025 Hz.
With several files, each line starts with the file's name and ": "; -j
decodes several at once, the output still in the order given.
--timestamps gives the time (3 decimals) at the end of the block that
produced the line.
--format tsv or jsonl prints one record per key once it has ended: file,
channel (empty or null for the mix-down), key, start and end of its tone in
seconds, and the text it gave (empty or null if none). TSV begins with a
header line.)");
    command.add_option("FILE", args->files, "the recordings, or - for standard input")->default_str("");
    command
        .add_option("--files-from", args->filesFrom,
                    "also decode the files named in LIST, one a line (-: standard input)")
        ->option_text("LIST");
    command.add_option("-j,--jobs", args->jobs, "decode N files at once (default 1; 0: one per core)")
        ->option_text("N")
        ->check(CLI::Range(0, 4096));
    command.add_option("--format", args->format, "text (the default), or a record per key for programs: tsv or jsonl")
        ->option_text("FORMAT")
        ->check(CLI::IsMember({"text", "tsv", "jsonl"}));
    command.add_flag("--keys", args->keys, "print each detected key instead of the command texts");
    command.add_flag("--timestamps", args->timestamps, "start each line with the time in seconds into the recording");
    CLI::Option* channel = command.add_option("--channel", args->channel, "decode channel N alone (1 is the first)")
                               ->option_text("N")
                               ->check(CLI::Range(1, 1 << 20));
    command
        .add_flag("--each-channel", args->eachChannel, "decode every channel on its own; lines start with the channel")
        ->excludes(channel);
    command.add_flag("--strict", args->strict, kStrictHelp);
    CLI::Option* raw = command.add_flag("--raw", args->raw, "the input is headerless samples: give --rate");
    CLI::Option* rate = command.add_option("--rate", args->rate, "sample rate of the raw input (1000 to 1000000)")
                            ->option_text("HZ")
                            ->check(CLI::Range(vardell::RawFormat::kMinRate, vardell::RawFormat::kMaxRate))
                            ->needs(raw);
    raw->needs(rate);
    const std::vector<std::string> encodings = EncodingNames();
    command
        .add_option("--encoding", args->encoding,
                    "encoding of a raw sample: " + CLI::detail::join(encodings, ", ") + " (default s16le)")
        ->option_text("NAME")
        ->check(CLI::IsMember(encodings))
        ->needs(raw);
    command.add_option("--channels", args->channels, "interleaved channels of the raw input (default 1)")
        ->option_text("N")
        ->check(CLI::Range(1, vardell::RawFormat::kMaxChannels))
        ->needs(raw);
    return [args] { return RunDecode(*args); };
}

}  // namespace tool
