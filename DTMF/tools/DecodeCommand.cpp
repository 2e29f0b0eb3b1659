// vardell decode: the command texts in a recording, as a listening application would see them.
#include <cstdio>
#include <string>

#include "AudioFile.h"
#include "Commands.h"
#include "Decoder.h"
#include "Options.h"

namespace tool {

namespace {

constexpr const char* kUsage = "usage: vardell decode FILE [--keys] [--timestamps]\n"
                               "\n"
                               "Prints every command text found in the recording FILE, one per line, in\n"
                               "order, exactly as a listening application receives them: a command begins\n"
                               "with * or #, each key adds a line with the text so far, and a text stops\n"
                               "growing after 21 characters or a pause of more than 30 seconds.\n"
                               "FILE may be any sound file that libsndfile reads (WAV PCM 8/16/24/32-bit,\n"
                               "float, FLAC, ...); it is mixed down to mono and resampled to 11025 Hz.\n"
                               "  --keys        print each detected key instead of the command texts\n"
                               "  --timestamps  start each line with the time in seconds (3 decimals) into\n"
                               "                the recording at the end of the block that produced it\n";

constexpr OptionSpec kOptions[] = {{"--keys", false}, {"--timestamps", false}};

}  // namespace

int RunDecode(std::span<char* const> argv)
{
    Args args;
    if (auto done = ParseCommand(argv, kOptions, "decode", kUsage, args))
        return *done;
    if (args.Operands().size() != 1)
        return UsageError("decode", kUsage, args.Operands().empty() ? "no FILE given" : "more than one FILE given");
    const std::string& path = args.Operands()[0];

    std::vector<std::int16_t> samples;
    std::string error;
    if (!ReadDetectorSamples(path, samples, error))
        return Fail(path + ": " + error);

    const bool timestamps = args.Has("--timestamps");
    DecodeSamples(samples, args.Has("--keys") ? DecodeOutput::Keys : DecodeOutput::Commands,
                  [timestamps](double seconds, std::string_view line) {
                      if (timestamps)
                          std::printf("%.3f ", seconds);
                      std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
                  });
    if (std::fflush(stdout) != 0)
        return Fail("cannot write to standard output");
    return 0;
}

}  // namespace tool
