// vardell tones: writes test signals for the detector.
#include <cstdio>
#include <string>

#include "AudioFile.h"
#include "Commands.h"
#include "Options.h"
#include "Tones.h"

namespace tool {

namespace {

constexpr const char* kUsage = "usage: vardell tones KEYS -o FILE [--tone-ms MS] [--gap-ms MS] [--level DBFS]\n"
                               "                     [--twist DB] [--noise SNR_DB] [--seed N]\n"
                               "\n"
                               "Writes the DTMF tones of KEYS (0-9, A-D, *, #; quote * and # from the shell)\n"
                               "as an 11025 Hz mono 16-bit PCM WAV file: each key a tone, then a pause.\n"
                               "  -o FILE          the file to write\n"
                               "  --tone-ms MS     length of each tone (default 80)\n"
                               "  --gap-ms MS      pause after each tone (default 60)\n"
                               "  --level DBFS     level of each of the two sines of a key (default -10)\n"
                               "  --twist DB       raise the high (column) tone by DB over the low one (default 0)\n"
                               "  --noise SNR_DB   add white Gaussian noise SNR_DB below the power of a key's tones\n"
                               "  --seed N         seed of the noise (default 1)\n";

constexpr OptionSpec kOptions[] = {
    {"-o", true},      {"--tone-ms", true}, {"--gap-ms", true}, {"--level", true},
    {"--twist", true}, {"--noise", true},   {"--seed", true},
};

// Reads option `name` into `value` when given; false (with `error`) when it is
// not a number within [low, high]. The bounds keep the signal's size and the
// arithmetic sane, not the user's imagination.
bool ReadNumber(const Args& args, const char* name, double low, double high, double& value, std::string& error)
{
    auto text = args.Value(name);
    if (!text)
        return true;
    auto number = ParseNumber(*text);
    if (!number || *number < low || *number > high) {
        error = std::string(name) + " wants a number from " + std::to_string(static_cast<long long>(low)) + " to " +
                std::to_string(static_cast<long long>(high)) + ", not '" + *text + "'";
        return false;
    }
    value = *number;
    return true;
}

}  // namespace

int RunTones(std::span<char* const> argv)
{
    Args args;
    if (auto done = ParseCommand(argv, kOptions, "tones", kUsage, args))
        return *done;
    std::string error;
    if (args.Operands().size() != 1)
        return UsageError("tones", kUsage, args.Operands().empty() ? "no KEYS given" : "more than one KEYS operand");
    const std::string& keys = args.Operands()[0];
    if (keys.empty())
        return UsageError("tones", kUsage, "KEYS is empty");
    for (char key : keys)
        if (!IsDtmfKey(key))
            return UsageError("tones", kUsage, std::string("'") + key + "' is not a DTMF key (0-9, A-D, *, #)");
    auto output = args.Value("-o");
    if (!output || output->empty())
        return UsageError("tones", kUsage, "no output file given (-o FILE)");

    ToneOptions options;
    double seed = 1;
    bool ok = ReadNumber(args, "--tone-ms", 0, 600000, options.toneMs, error) &&
              ReadNumber(args, "--gap-ms", 0, 600000, options.gapMs, error) &&
              ReadNumber(args, "--level", -150, 0, options.levelDb, error) &&
              ReadNumber(args, "--twist", -40, 40, options.twistDb, error) &&
              ReadNumber(args, "--noise", -40, 150, options.snrDb, error) &&
              ReadNumber(args, "--seed", 0, 4294967295.0, seed, error);
    if (!ok)
        return UsageError("tones", kUsage, error);
    if (seed != static_cast<double>(static_cast<std::uint64_t>(seed)))
        return UsageError("tones", kUsage, "--seed wants a whole number");
    // An hour of signal is 80 MB; more is a typo, not a test signal.
    if (static_cast<double>(keys.size()) * (options.toneMs + options.gapMs) > 3600e3)
        return UsageError("tones", kUsage, "the signal would last more than an hour");
    options.noise = args.Has("--noise");
    options.seed = static_cast<std::uint64_t>(seed);

    const auto samples = GenerateTones(keys, options);
    if (!WriteDetectorWav(*output, samples, error))
        return Fail(*output + ": " + error);
    return 0;
}

}  // namespace tool
