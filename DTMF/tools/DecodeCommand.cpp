// vardell decode: the command texts in a recording, as a listening application would see them.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "Commands.h"
#include "Decoder.h"
#include "Options.h"

namespace tool {

namespace {

constexpr const char* kUsage = "usage: vardell decode FILE [--keys] [--timestamps] [--channel N | --each-channel]\n"
                               "\n"
                               "Prints every command text found in the recording FILE, one per line, in\n"
                               "order, exactly as a listening application receives them: a command begins\n"
                               "with * or #, each key adds a line with the text so far, and a text stops\n"
                               "growing after 21 characters or a pause of more than 30 seconds.\n"
                               "FILE may be any sound file that libsndfile reads (WAV PCM 8/16/24/32-bit,\n"
                               "float, FLAC, ...), or - for standard input (a pipe will do); it is read as\n"
                               "it is decoded, so its length does not matter. Its channels are mixed down\n"
                               "to mono and it is resampled to 11025 Hz.\n"
                               "  --keys          print each detected key instead of the command texts\n"
                               "  --timestamps    start each line with the time in seconds (3 decimals) into\n"
                               "                  the recording at the end of the block that produced it\n"
                               "  --channel N     decode channel N alone (1 is the first) instead of the mix\n"
                               "  --each-channel  decode every channel on its own, each line starting with\n"
                               "                  its channel number\n";

constexpr OptionSpec kOptions[] = {
    {"--keys", false}, {"--timestamps", false}, {"--channel", true}, {"--each-channel", false}};

}  // namespace

int RunDecode(std::span<char* const> argv)
{
    Args args;
    if (auto done = ParseCommand(argv, kOptions, "decode", kUsage, args))
        return *done;
    if (args.Operands().size() != 1)
        return UsageError("decode", kUsage, args.Operands().empty() ? "no FILE given" : "more than one FILE given");
    const std::string& path = args.Operands()[0];

    ChannelChoice choice;
    if (const auto channel = args.Value("--channel")) {
        if (args.Has("--each-channel"))
            return UsageError("decode", kUsage, "--channel and --each-channel do not go together");
        if (!IsIndex(*channel) || channel->size() > 9 || std::stoi(*channel) < 1)
            return UsageError("decode", kUsage, "--channel needs a channel number from 1");
        choice = {ChannelChoice::One, std::stoi(*channel) - 1};
    } else if (args.Has("--each-channel")) {
        choice.mode = ChannelChoice::Each;
    }

    const bool timestamps = args.Has("--timestamps");
    const DecodeOutput output = args.Has("--keys") ? DecodeOutput::Keys : DecodeOutput::Commands;
    std::vector<std::unique_ptr<Decoder>> decoders;
    std::string error;
    const bool read = StreamDetectorSamples(
        path, choice,
        [&](int stream, std::span<const std::int16_t> samples) {
            while (decoders.size() <= static_cast<std::size_t>(stream)) {
                const int channel = static_cast<int>(decoders.size()) + 1;
                decoders.push_back(
                    std::make_unique<Decoder>(output, [&, channel](double seconds, std::string_view line) {
                        if (choice.mode == ChannelChoice::Each)
                            std::printf("%d ", channel);
                        if (timestamps)
                            std::printf("%.3f ", seconds);
                        std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
                    }));
            }
            decoders[static_cast<std::size_t>(stream)]->Feed(samples);
        },
        error);
    if (!read) {
        std::fflush(stdout);
        return Fail((path == "-" ? std::string("standard input") : path) + ": " + error);
    }
    if (std::fflush(stdout) != 0)
        return Fail("cannot write to standard output");
    return 0;
}

}  // namespace tool
