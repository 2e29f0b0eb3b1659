// vardell decode: the command texts in a recording, as a listening application would see them.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Decoder.h"
#include "Recording.h"
#include "Options.h"

namespace tool {

namespace {

struct DecodeArgs {
    std::string path;
    bool keys = false;
    bool timestamps = false;
    bool strict = false;
    int channel = 0;  // from 1; 0: the mix-down
    bool eachChannel = false;
};

int RunDecode(const DecodeArgs& args)
{
    const std::string& path = args.path;
    vardell::ChannelChoice choice;
    if (args.channel > 0)
        choice = {vardell::ChannelChoice::One, args.channel - 1};
    else if (args.eachChannel)
        choice.mode = vardell::ChannelChoice::Each;

    const auto output = args.keys ? vardell::DecodeOutput::Keys : vardell::DecodeOutput::Commands;
    std::vector<std::unique_ptr<vardell::Decoder>> decoders;  // one per stream, made as the streams come
    const auto print = [&args](int channel, double seconds, std::string_view line) {
        if (args.eachChannel)
            std::printf("%d ", channel);
        if (args.timestamps)
            std::printf("%.3f ", seconds);
        std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
    };
    std::string error;
    const bool read = vardell::StreamDetectorSamples(
        path, choice,
        [&](int stream, const std::int16_t* samples, std::size_t count) {
            while (decoders.size() <= static_cast<std::size_t>(stream)) {
                const int channel = static_cast<int>(decoders.size()) + 1;
                decoders.push_back(std::make_unique<vardell::Decoder>(
                    output, [&print, channel](double seconds, std::string_view line) { print(channel, seconds, line); },
                    args.strict));
            }
            decoders[static_cast<std::size_t>(stream)]->Feed(samples, count);
        },
        error);
    if (!read) {
        std::fflush(stdout);  // what was decoded before the failure stays
        return Fail((path == "-" ? std::string("standard input") : path) + ": " + error);
    }
    if (std::fflush(stdout) != 0)
        return Fail("cannot write to standard output", kExitRuntime);
    return 0;
}

}  // namespace

CommandRun AddDecode(CLI::App& app)
{
    auto args = std::make_shared<DecodeArgs>();
    CLI::App& command = *app.add_subcommand("decode", "print the command texts found in a recording");
    command.footer(R"(Prints every command text found in the recording FILE, one per line, in
order, exactly as a listening application receives them: a command begins
with * or #, each key adds a line with the text so far, and a text stops
growing after 21 characters or a pause of more than 30 seconds.
FILE may be any sound file that libsndfile reads (WAV PCM 8/16/24/32-bit,
float, FLAC, ...), or - for standard input, which may be a pipe:
  sox call.flac -t wav - | vardell decode -
It is decoded as it is read, in constant memory. Its channels are mixed
down to mono unless --channel or --each-channel says otherwise, and it is
resampled to 11025 Hz.
--timestamps gives the time (3 decimals) at the end of the block that
produced the line.)");
    command.add_option("FILE", args->path, "the recording, or - for standard input")->required();
    command.add_flag("--keys", args->keys, "print each detected key instead of the command texts");
    command.add_flag("--timestamps", args->timestamps, "start each line with the time in seconds into the recording");
    CLI::Option* channel = command.add_option("--channel", args->channel, "decode channel N alone (1 is the first)")
                               ->option_text("N")
                               ->check(CLI::Range(1, 1 << 20));
    command
        .add_flag("--each-channel", args->eachChannel, "decode every channel on its own; lines start with the channel")
        ->excludes(channel);
    command.add_flag("--strict", args->strict, kStrictHelp);
    return [args] { return RunDecode(*args); };
}

}  // namespace tool
