#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tool {

namespace {
constexpr OptionSpec kHelp{"--help", false};
}

bool Args::Parse(std::span<char* const> args, std::span<const OptionSpec> specs, std::string& error)
{
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            operands.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string_view> inlineValue;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        const OptionSpec* option = name == kHelp.name ? &kHelp : nullptr;
        for (const OptionSpec& s : specs)
            if (s.name == name)
                option = &s;
        if (!option) {
            error = "unknown option '" + std::string(name) + "'";
            return false;
        }
        std::string value;
        if (option->takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                error = "option '" + std::string(name) + "' needs a value";
                return false;
            }
        } else if (inlineValue) {
            error = "option '" + std::string(name) + "' takes no value";
            return false;
        }
        options[std::string(name)] = value;
    }
    return true;
}

std::optional<std::string> Args::Value(std::string_view name) const
{
    auto it = options.find(std::string(name));
    if (it == options.end())
        return std::nullopt;
    return it->second;
}

std::optional<double> ParseNumber(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value))
        return std::nullopt;
    return value;
}

bool IsIndex(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Fail(std::string_view message)
{
    std::fprintf(stderr, "vardell: %.*s\n", static_cast<int>(message.size()), message.data());
    return kExitFailure;
}

int UsageError(std::string_view command, std::string_view usage, std::string_view message)
{
    std::fprintf(stderr, "vardell %.*s: %.*s\n%.*s", static_cast<int>(command.size()), command.data(),
                 static_cast<int>(message.size()), message.data(), static_cast<int>(usage.size()), usage.data());
    return kExitFailure;
}

std::optional<int> ParseCommand(std::span<char* const> argv, std::span<const OptionSpec> options,
                                std::string_view command, std::string_view usage, Args& args)
{
    std::string error;
    if (!args.Parse(argv, options, error))
        return UsageError(command, usage, error);
    if (args.Has("--help")) {
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    return std::nullopt;
}

}  // namespace tool
