// The tool's commands. Each takes the arguments after its name and returns the
// exit status: 0 for success, 2 (tool::kExitFailure) for any failure.
#pragma once

#include <span>

namespace tool {

int RunTones(std::span<char* const> args);
int RunDecode(std::span<char* const> args);
int RunDevices(std::span<char* const> args);
int RunListen(std::span<char* const> args);
int RunPlay(std::span<char* const> args);
int RunMix(std::span<char* const> args);

}  // namespace tool
