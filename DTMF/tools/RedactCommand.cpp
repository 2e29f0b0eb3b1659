// vardell redact: recordings with their typed keys overwritten, through the library's RedactFile.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Commands.h"
#include "KeyRecords.h"
#include "Options.h"
#include "OrderedJobs.h"
#include "RedactFile.h"

namespace tool {

namespace {

struct RedactArgs {
    std::vector<std::string> inputs;
    std::string output;
    std::string fill = "silence";
    bool strict = false;
    std::string report;
    unsigned jobs = 1;
};

// One line per span; the key is never known here, let alone written.
std::string ReportLine(const std::string& input, const vardell::RedactedSpan& span)
{
    std::string line = "{\"file\":";
    AppendJson(line, input);
    const int channel = span.channel == vardell::RedactedSpan::kSeveral ? 0 : span.channel + 1;
    char rest[128];
    std::snprintf(rest, sizeof rest, ",\"channel\":%d,\"start\":%llu,\"end\":%llu,\"fill\":\"%s\"}\n", channel,
                  static_cast<unsigned long long>(span.start), static_cast<unsigned long long>(span.end),
                  span.fill == vardell::RedactFill::Noise ? "noise" : "silence");
    return line + rest;
}

std::string Shown(const std::string& path, const char* dash)
{
    return path == "-" ? dash : path;
}

int RunRedact(const RedactArgs& args)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const bool intoDirectory = args.inputs.size() > 1 || (args.output != "-" && fs::is_directory(args.output, ec));
    if (args.inputs.size() > 1 && !fs::is_directory(args.output, ec))
        return Fail(args.output + ": not a directory (several recordings go into one)");
    if (args.report == "-" && args.output == "-")
        throw CLI::ValidationError("--report", "- is standard output, which the recording already takes");
    std::set<fs::path> names;
    for (const std::string& input : args.inputs) {
        if (intoDirectory && input == "-")
            return Fail("standard input has no name to take in a directory: give -o FILE");
        if (intoDirectory && !names.insert(fs::path(input).filename()).second)
            return Fail(fs::path(input).filename().string() + ": two recordings of that name would go into " +
                        args.output);
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(nullptr, std::fclose);
    if (!args.report.empty() && args.report != "-") {
        file.reset(std::fopen(args.report.c_str(), "w"));
        if (!file)
            return Fail(args.report + ": cannot write the report", kExitRuntime);
    }
    std::FILE* const report = args.report == "-" ? stdout : file.get();
    const vardell::RedactOptions options{
        args.fill == "noise" ? vardell::RedactFill::Noise : vardell::RedactFill::Silence, args.strict};
    // One recording reports as its spans come; several keep their lines until all are done, in their order.
    const bool streamed = args.inputs.size() == 1;
    std::vector<std::string> reports(args.inputs.size());
    const int status = RunInOrder(args.inputs.size(), args.jobs, [&](std::size_t job, JobOutput& out) {
        const std::string& input = args.inputs[job];
        const std::string output =
            intoDirectory ? (fs::path(args.output) / fs::path(input).filename()).string() : args.output;
        std::string error;
        const auto outcome = vardell::RedactFile(
            input, output, options,
            [&](const vardell::RedactedSpan& span) {
                if (report && streamed)
                    std::fputs(ReportLine(input, span).c_str(), report);
                else if (report)
                    reports[job] += ReportLine(input, span);
            },
            error);
        if (outcome == vardell::RedactOutcome::BadInput)
            return out.Fail(Shown(input, "standard input") + ": " + error);
        if (outcome == vardell::RedactOutcome::WriteFailed)
            return out.Fail(Shown(output, "standard output") + ": " + error, kExitRuntime);
        return kExitDone;
    });
    for (const std::string& lines : reports)
        if (report)
            std::fputs(lines.c_str(), report);
    if (report && (std::fflush(report) != 0 || std::ferror(report)))
        return Fail(args.report + ": cannot write the report", kExitRuntime);
    return status;
}

}  // namespace

CommandRun AddRedact(CLI::App& app)
{
    auto args = std::make_shared<RedactArgs>();
    CLI::App& command = *app.add_subcommand("redact", "overwrite the typed keys in recordings");
    command.footer(R"(Finds every DTMF key on every channel of the recording IN and writes OUT
with each key's tones overwritten on all channels, from 20 ms before the key's
onset to 20 ms after its release; overwritten stretches less than 50 ms apart
are joined. Keys are sought as the default detection finds them (a false key
costs a few ms of speech, a missed one leaks a digit), and tones as short as
15 ms, which other receivers take, as well.
OUT has IN's container, sample format, rate, channel count and length, and
every sample outside the overwritten spans unchanged (PCM, float, FLAC, ALAC,
u-law, A-law). A lossy IN (MP3, Ogg, ADPCM, GSM) goes to a 32-bit float WAV
when OUT ends in .wav, to a 24-bit FLAC when it ends in .flac, and is refused
otherwise. IN and OUT may be - (standard input or output, WAV or FLAC through
a pipe); OUT appears only once it is whole. Several recordings, or an OUT that
is a directory, write each recording into OUT under its own name, -j N
of them at once.
A key that no detector can hear is not overwritten. The keys are never
printed: the report holds one JSON line per span with its file, channel (from
1; 0: several), start and end (frames, the end excluded) and fill.)");
    command.add_option("IN", args->inputs, "the recordings, or - for standard input")->required();
    command.add_option("-o", args->output, "the file to write, or the directory for several recordings")
        ->required()
        ->type_name("OUT")
        ->check(NotEmpty());
    command.add_option("--fill", args->fill, "what overwrites a key: silence, or noise at the background's level")
        ->check(CLI::IsMember({"silence", "noise"}));
    command.add_flag("--strict", args->strict, kStrictHelp);
    command.add_option("-j,--jobs", args->jobs, "redact N recordings at once (default 1; 0: one per core)")
        ->option_text("N")
        ->check(CLI::Range(0, 4096));
    command.add_option("--report", args->report, "write one JSON line per overwritten span to FILE (- for output)")
        ->type_name("FILE")
        ->check(NotEmpty());
    return [args] { return RunRedact(*args); };
}

}  // namespace tool
