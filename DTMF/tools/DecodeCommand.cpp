// vardell decode: the command texts in a recording, as a listening application would see them.
#include <cstdio>
#include <memory>
#include <string>

#include "AudioFile.h"
#include "Commands.h"
#include "Decoder.h"
#include "Options.h"

namespace tool {

namespace {

struct DecodeArgs {
    std::string path;
    bool keys = false;
    bool timestamps = false;
    bool strict = false;
};

int RunDecode(const DecodeArgs& args)
{
    const std::string& path = args.path;

    std::vector<std::int16_t> samples;
    std::string error;
    if (!ReadDetectorSamples(path, samples, error))
        return Fail(path + ": " + error);

    const bool timestamps = args.timestamps;
    DecodeSamples(
        samples, args.keys ? DecodeOutput::Keys : DecodeOutput::Commands,
        [timestamps](double seconds, std::string_view line) {
            if (timestamps)
                std::printf("%.3f ", seconds);
            std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
        },
        args.strict);
    if (std::fflush(stdout) != 0)
        return Fail("cannot write to standard output", kExitRuntime);
    return 0;
}

}  // namespace

CommandRun AddDecode(CLI::App& app)
{
    auto args = std::make_shared<DecodeArgs>();
    CLI::App& command = *app.add_subcommand("decode", "print the command texts found in a recording");
    command.footer("Prints every command text found in the recording FILE, one per line, in\n"
                   "order, exactly as a listening application receives them: a command begins\n"
                   "with * or #, each key adds a line with the text so far, and a text stops\n"
                   "growing after 21 characters or a pause of more than 30 seconds.\n"
                   "FILE may be any sound file that libsndfile reads (WAV PCM 8/16/24/32-bit,\n"
                   "float, FLAC, ...); it is mixed down to mono and resampled to 11025 Hz.\n"
                   "--timestamps gives the time (3 decimals) at the end of the block that\n"
                   "produced the line.");
    command.add_option("FILE", args->path, "the recording")->required();
    command.add_flag("--keys", args->keys, "print each detected key instead of the command texts");
    command.add_flag("--timestamps", args->timestamps, "start each line with the time in seconds into the recording");
    command.add_flag("--strict", args->strict, kStrictHelp);
    return [args] { return RunDecode(*args); };
}

}  // namespace tool
