// vardell: make, decode, listen for, play, mix and redact DTMF sounds from the command line.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Options.h"

namespace {

constexpr const char* kAbout = "vardell: make, decode, listen for, play, mix and redact DTMF sounds.\n"
                               "DTMF keys 0-9, A-D, * and # make commands that begin with * or #; every\n"
                               "command text is printed as it grows, one per line.\n";

constexpr const char* kFooter = "'vardell COMMAND --help' describes a command.\n"
                                "Exit status: 0 done; 1 runtime failure (no or lost audio device, playback\n"
                                "failed, a file cannot be written); 2 bad usage or bad input (one line on\n"
                                "standard error, followed by the usage when the command line is wrong).";

// The usage line of `command` and where to learn more, after a usage error.
void PrintUsage(const CLI::App& command, const std::string& path)
{
    const std::string usage =
        std::static_pointer_cast<CLI::Formatter>(command.get_formatter())->make_usage(&command, path);
    std::fprintf(stderr, "%sRun '%s --help' for more.\n", usage.c_str(), path.c_str());
}

int Run(std::vector<std::string> args)
{
    CLI::App app(kAbout, "vardell");
    app.footer(kFooter);
    app.set_version_flag("--version", "vardell " VARDELL_VERSION);
    app.require_subcommand(1);
    // Set before the commands are added: they take the formatter and option defaults from here.
    app.formatter(std::make_shared<CLI::Formatter>());
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    // Options given twice: the later wins; a flag takes no value ("--keys=yes"); help shows the defaults.
    app.option_defaults()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->disable_flag_override()
        ->always_capture_default();
    std::vector<tool::CommandRun> runs;
    for (auto add : {tool::AddTones, tool::AddDecode, tool::AddDevices, tool::AddListen, tool::AddPlay, tool::AddMix,
                     tool::AddRedact})
        runs.push_back(add(app));
    const auto commands = app.get_subcommands(nullptr);

    if (args.empty()) {
        std::fputs(app.help().c_str(), stderr);
        return tool::kExitBadInput;
    }
    // "vardell help [COMMAND]" is "vardell [COMMAND] --help".
    if (args[0] == "help") {
        args.erase(args.begin());
        args.resize(std::min<std::size_t>(args.size(), 1));
        args.push_back("--help");
    }
    if (!args[0].starts_with("-") &&
        std::none_of(commands.begin(), commands.end(), [&](CLI::App* c) { return c->check_name(args[0]); })) {
        tool::Fail("unknown command '" + args[0] + "'");
        PrintUsage(app, "vardell");
        return tool::kExitBadInput;
    }

    try {
        std::reverse(args.begin(), args.end());  // CLI11 takes them last first
        app.parse(args);
        for (std::size_t i = 0; i < commands.size(); ++i)
            if (commands[i]->parsed())
                return runs[i]();
        return tool::kExitDone;
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);  // the given command's, if there is one
        return tool::kExitDone;
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return tool::kExitDone;
    } catch (const CLI::ParseError& error) {
        const auto given = app.get_subcommands();
        const CLI::App& command = given.empty() ? app : *given.front();
        const std::string path = given.empty() ? "vardell" : "vardell " + command.get_name();
        std::fprintf(stderr, "%s: %s\n", path.c_str(), error.what());
        PrintUsage(command, path);
        return tool::kExitBadInput;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
    } catch (const std::exception& e) {
        // Out of memory on a huge file, for instance: a failure, not a crash.
        return tool::Fail(e.what(), tool::kExitRuntime);
    }
}
