// The tool's command line: each command is a CLI11 subcommand whose option
// definitions both parse its arguments and make its --help.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

namespace tool {

// Exit statuses.
constexpr int kExitDone = 0;
constexpr int kExitRuntime = 1;   // the system failed: a device, playback, writing a file
constexpr int kExitBadInput = 2;  // the command line or an input file is wrong

// Runs a command once its subcommand has parsed the arguments into the variables
// its options are bound to; returns the exit status. It may throw CLI::ValidationError
// for a usage error that only the options together reveal.
using CommandRun = std::function<int()>;

// Prints "vardell: <message>" as one line on stderr; returns `status`.
int Fail(std::string_view message, int status = kExitBadInput);

// Parses a whole finite number; nullopt for anything else ("", "12x", "nan").
std::optional<double> ParseNumber(const std::string& text);
// True for a non-empty string of ASCII digits.
bool IsIndex(std::string_view text);

// Validators for option values: a finite number within [low, high]; a non-empty text.
CLI::Validator Between(double low, double high);
CLI::Validator NotEmpty();

}  // namespace tool
