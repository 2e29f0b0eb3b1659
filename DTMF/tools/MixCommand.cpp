// vardell mix: one PCM WAV file mixed into another with CWave::Mix, saved as a third.
#include <cstdio>
#include <string>

#include "CWave.h"
#include "Commands.h"
#include "Options.h"

namespace tool {

namespace {

constexpr const char* kUsage = "usage: vardell mix A B -o OUT\n"
                               "\n"
                               "Mixes the PCM WAV file B into A and saves the result as OUT. Both must have\n"
                               "the same channels, sample rate and bits per sample; the result has A's length,\n"
                               "and only the part that B covers is mixed.\n"
                               "  -o OUT  the file to write\n";

constexpr OptionSpec kOptions[] = {{"-o", true}};

std::string Describe(CWave& wave)
{
    return std::to_string(wave.GetChannels()) + " ch, " + std::to_string(wave.GetSampleRate()) + " Hz, " +
           std::to_string(wave.GetBitsPerSample()) + "-bit";
}

}  // namespace

int RunMix(std::span<char* const> argv)
{
    Args args;
    if (auto done = ParseCommand(argv, kOptions, "mix", kUsage, args))
        return *done;
    if (args.Operands().size() != 2)
        return UsageError("mix", kUsage, "wants two input files, A and B");
    auto output = args.Value("-o");
    if (!output || output->empty())
        return UsageError("mix", kUsage, "no output file given (-o OUT)");

    CWave sounds[2];
    for (int i = 0; i < 2; ++i) {
        const std::string& path = args.Operands()[static_cast<std::size_t>(i)];
        // Load also opens an output device; failing that does not matter for mixing.
        sounds[i].Load(path.c_str());
        if (!sounds[i].IsValid())
            return Fail(path + ": cannot load (missing, unreadable or not a PCM WAV file)");
    }
    if (!sounds[0].Mix(sounds[1]))
        return Fail("cannot mix " + Describe(sounds[1]) + " into " + Describe(sounds[0]) + " (formats must be equal)");
    std::string target = *output;  // Save takes a mutable path
    if (!sounds[0].Save(target.data()))
        return Fail(*output + ": cannot save");
    return 0;
}

}  // namespace tool
