// vardell mix: one PCM WAV file mixed into another with CWave::Mix, saved as a third.
#include <cstdio>
#include <memory>
#include <string>

#include "CWave.h"
#include "Commands.h"
#include "Options.h"
#include "WavProblem.h"

namespace tool {

namespace {

struct MixArgs {
    std::string a, b, output;
};

std::string Describe(CWave& wave)
{
    return std::to_string(wave.GetChannels()) + " ch, " + std::to_string(wave.GetSampleRate()) + " Hz, " +
           std::to_string(wave.GetBitsPerSample()) + "-bit";
}

int RunMix(const MixArgs& args)
{
    CWave sounds[2];
    for (int i = 0; i < 2; ++i) {
        const std::string& path = i == 0 ? args.a : args.b;
        // Load also opens an output device; failing that does not matter for mixing.
        sounds[i].Load(path.c_str());
        if (!sounds[i].IsValid()) {
            const std::string problem = WavProblem(path);
            return Fail(path + ": " + (problem.empty() ? "cannot load (no samples, or not a PCM WAV file)" : problem));
        }
    }
    if (!sounds[0].Mix(sounds[1]))
        return Fail("cannot mix " + Describe(sounds[1]) + " into " + Describe(sounds[0]) + " (formats must be equal)");
    std::string target = args.output;  // Save takes a mutable path
    if (!sounds[0].Save(target.data()))
        return Fail(args.output + ": cannot save", kExitRuntime);
    return 0;
}

}  // namespace

CommandRun AddMix(CLI::App& app)
{
    auto args = std::make_shared<MixArgs>();
    CLI::App& command = *app.add_subcommand("mix", "mix the PCM WAV file B into A and save the result as OUT");
    command.footer(R"(Mixes the PCM WAV file B into A and saves the result as OUT. Both must have
the same channels, sample rate and bits per sample; the result has A's length,
and only the part that B covers is mixed.)");
    command.add_option("A", args->a, "the sound mixed into")->required();
    command.add_option("B", args->b, "the sound mixed in")->required();
    command.add_option("-o", args->output, "the file to write")->required()->type_name("OUT")->check(NotEmpty());
    return [args] { return RunMix(*args); };
}

}  // namespace tool
