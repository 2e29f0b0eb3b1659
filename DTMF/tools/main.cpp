// vardell: make, decode, listen for, play and mix DTMF sounds from the command line.
#include <cstdio>
#include <exception>
#include <span>
#include <string_view>

#include "Commands.h"
#include "Options.h"

namespace {

struct Command {
    std::string_view name;
    int (*run)(std::span<char* const>);
};

constexpr Command kCommands[] = {
    {"tones", tool::RunTones},   {"decode", tool::RunDecode}, {"devices", tool::RunDevices},
    {"listen", tool::RunListen}, {"play", tool::RunPlay},     {"mix", tool::RunMix},
};

constexpr const char* kUsage = "usage: vardell COMMAND [ARGS]\n"
                               "\n"
                               "DTMF keys 0-9, A-D, * and # make commands that begin with * or #; every\n"
                               "command text is printed as it grows, one per line.\n"
                               "\n"
                               "commands:\n"
                               "  tones KEYS -o FILE [--tone-ms MS] [--gap-ms MS] [--level DBFS] [--twist DB]\n"
                               "                  [--noise SNR_DB] [--seed N]\n"
                               "                  write the DTMF tones of KEYS as an 11025 Hz mono 16-bit WAV file\n"
                               "  decode FILE [--keys] [--timestamps]\n"
                               "                  print the command texts found in a recording\n"
                               "  devices         list the audio input and output devices\n"
                               "  listen [DEVICE] [--keys] [--timestamps]\n"
                               "                  print the command texts heard on an input device until Ctrl-C\n"
                               "  play FILE [--device N|NAME]\n"
                               "                  play a PCM WAV file on an output device\n"
                               "  mix A B -o OUT  mix the PCM WAV file B into A and save the result as OUT\n"
                               "\n"
                               "'vardell COMMAND --help' describes a command. Exit status: 0 on success, 2 on\n"
                               "any failure: one line on standard error, followed by the usage when the\n"
                               "command line itself is wrong.\n";

int Dispatch(std::span<char* const> args)
{
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return tool::kExitFailure;
    }
    const std::string_view name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        // "vardell help decode" is "vardell decode --help".
        if (args.size() > 1)
            for (const Command& command : kCommands)
                if (command.name == args[1]) {
                    char help[] = "--help";
                    char* helpArgs[] = {help};
                    return command.run(std::span<char* const>(helpArgs));
                }
        std::fputs(kUsage, stdout);
        return 0;
    }
    for (const Command& command : kCommands)
        if (command.name == name)
            return command.run(args.subspan(1));
    std::fprintf(stderr, "vardell: unknown command '%.*s'\n%s", static_cast<int>(name.size()), name.data(), kUsage);
    return tool::kExitFailure;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Dispatch(std::span<char* const>(argv + 1, argc > 0 ? static_cast<std::size_t>(argc - 1) : 0));
    } catch (const std::exception& e) {
        // Out of memory on a huge file, for instance: a failure, not a crash.
        return tool::Fail(e.what());
    }
}
