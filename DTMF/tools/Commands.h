// The tool's commands. Each adds its subcommand, with its options and operands,
// to the tool's CLI::App and returns what runs it when it is the one given.
#pragma once

#include "Options.h"

namespace tool {

CommandRun AddTones(CLI::App& app);
CommandRun AddDecode(CLI::App& app);
CommandRun AddDevices(CLI::App& app);
CommandRun AddListen(CLI::App& app);
CommandRun AddPlay(CLI::App& app);
CommandRun AddMix(CLI::App& app);

}  // namespace tool
