#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tool {

int Fail(std::string_view message, int status)
{
    std::fprintf(stderr, "vardell: %.*s\n", static_cast<int>(message.size()), message.data());
    return status;
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

CLI::Validator Between(double low, double high)
{
    // The bounds are whole numbers; printed as such.
    const std::string range =
        std::to_string(static_cast<long long>(low)) + " to " + std::to_string(static_cast<long long>(high));
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            const auto number = ParseNumber(text);
            if (!number || *number < low || *number > high)
                return "wants a number from " + range + ", not '" + text + "'";
            return {};
        },
        "");
}

CLI::Validator NotEmpty()
{
    return CLI::Validator([](std::string& text) { return text.empty() ? std::string("is empty") : std::string(); }, "");
}

}  // namespace tool
