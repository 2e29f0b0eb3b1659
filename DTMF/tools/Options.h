// Argument parsing and failure reporting shared by the tool's commands.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

// Usage errors and failed inputs alike end with this status; success is 0.
constexpr int kExitFailure = 2;

struct OptionSpec {
    std::string_view name;  // "--keys", "-o"
    bool takesValue;
};

// One command's arguments: options (given once each; a later one wins) and operands.
class Args {
public:
    // Accepts "--name value", "--name=value" and "-o value"; "--" ends the options.
    // "--help" is always known. On failure `error` says what was wrong.
    bool Parse(std::span<char* const> args, std::span<const OptionSpec> specs, std::string& error);

    bool Has(std::string_view name) const { return options.contains(std::string(name)); }
    std::optional<std::string> Value(std::string_view name) const;
    const std::vector<std::string>& Operands() const { return operands; }

private:
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;
};

// Parses a whole finite number; nullopt for anything else ("", "12x", "nan").
std::optional<double> ParseNumber(const std::string& text);
// True for a non-empty string of ASCII digits.
bool IsIndex(std::string_view text);

// Prints "vardell: <message>" as one line on stderr; returns kExitFailure.
int Fail(std::string_view message);
// Prints "vardell <command>: <message>" and the command's usage on stderr; returns kExitFailure.
int UsageError(std::string_view command, std::string_view usage, std::string_view message);
// Parses a command's arguments into `args`. Returns the exit status when the
// command ends here (a usage error, or --help printed), nothing when it should run.
std::optional<int> ParseCommand(std::span<char* const> argv, std::span<const OptionSpec> options,
                                std::string_view command, std::string_view usage, Args& args);

}  // namespace tool
