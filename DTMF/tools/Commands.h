// The tool's commands. Each adds its subcommand, with its options and operands,
// to the tool's CLI::App and returns what runs it when it is the one given.
#pragma once

#include "Options.h"

namespace tool {

// Help of the --strict flag that decode and listen share.
inline constexpr const char* kStrictHelp =
    "strict detection: also check each tone's frequency, steadiness, level, twist and purity and the key's duration, "
    "so that speech and music do not give keys";

CommandRun AddTones(CLI::App& app);
CommandRun AddDecode(CLI::App& app);
CommandRun AddDevices(CLI::App& app);
CommandRun AddListen(CLI::App& app);
CommandRun AddPlay(CLI::App& app);
CommandRun AddMix(CLI::App& app);
CommandRun AddRedact(CLI::App& app);

}  // namespace tool
