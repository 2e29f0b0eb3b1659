// vardell tones: writes test signals for the detector.
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

#include "AudioFile.h"
#include "Commands.h"
#include "Options.h"
#include "Tones.h"

namespace tool {

namespace {

struct TonesArgs {
    std::string keys;
    std::string output;
    vardell::ToneOptions tones;
};

// KEYS in upper case, or why not.
CLI::Validator DtmfKeys()
{
    return CLI::Validator(
        [](std::string& keys) -> std::string {
            for (char& key : keys)
                key = static_cast<char>(std::toupper(static_cast<unsigned char>(key)));
            return vardell::ToneProblem(keys, {});
        },
        "");
}

int RunTones(const TonesArgs& args)
{
    // Each option is checked as it is parsed; what is left is the length of the whole.
    if (const std::string problem = vardell::ToneProblem(args.keys, args.tones); !problem.empty())
        throw CLI::ValidationError("KEYS", problem);

    std::string error;
    const auto samples = vardell::GenerateTones(args.keys, args.tones);
    if (!WriteDetectorWav(args.output, samples, error))
        return Fail(args.output + ": " + error, kExitRuntime);
    return 0;
}

}  // namespace

CommandRun AddTones(CLI::App& app)
{
    auto args = std::make_shared<TonesArgs>();
    vardell::ToneOptions& tones = args->tones;
    using O = vardell::ToneOptions;
    CLI::App& command =
        *app.add_subcommand("tones", "write the DTMF tones of KEYS as an 11025 Hz mono 16-bit WAV file");
    command.footer(R"(Writes the DTMF tones of KEYS (0-9, A-D in either case, *, #; quote * and #
from the shell) as an 11025 Hz mono 16-bit PCM WAV file: each key a tone,
then a pause.)");
    // The bounds keep the signal's size and the arithmetic sane, not the user's imagination.
    command.add_option("KEYS", args->keys, "the keys to sound, in order")->required()->transform(DtmfKeys());
    command.add_option("-o", args->output, "the file to write")->required()->type_name("FILE")->check(NotEmpty());
    command.add_option("--tone-ms", tones.toneMs, "length of each tone")->type_name("MS")->check(Between(0, O::kMaxMs));
    command.add_option("--gap-ms", tones.gapMs, "pause after each tone")->type_name("MS")->check(Between(0, O::kMaxMs));
    command.add_option("--level", tones.levelDb, "level of each of the two sines of a key")
        ->type_name("DBFS")
        ->check(Between(O::kMinLevelDb, 0));
    command.add_option("--twist", tones.twistDb, "raise the high (column) tone by DB over the low one")
        ->type_name("DB")
        ->check(Between(-O::kMaxTwistDb, O::kMaxTwistDb));
    command
        .add_option_function<double>(
            "--noise", [args](double snrDb) { args->tones.noise = true, args->tones.snrDb = snrDb; },
            "add white Gaussian noise SNR_DB below the power of a key's tones")
        ->type_name("SNR_DB")
        ->check(Between(O::kMinSnrDb, O::kMaxSnrDb));
    command.add_option("--seed", tones.seed, "seed of the noise")->type_name("N")->check(Between(0, 4294967295.0));
    return [args] { return RunTones(*args); };
}

}  // namespace tool
