// vardell devices: the input and output devices, by the numbers the other commands take.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "Devices.h"
#include "Options.h"

namespace tool {

namespace {

constexpr const char* kUsage = "usage: vardell devices\n"
                               "\n"
                               "Lists the audio input devices (for 'vardell listen') and output devices (for\n"
                               "'vardell play --device'), each with its index and name. Input device 0 is\n"
                               "the one that 'vardell listen' uses by default.\n";

void List(const char* title, const std::vector<std::string>& names)
{
    std::printf("%s devices:\n", title);
    if (names.empty())
        std::printf("  (none)\n");
    for (std::size_t i = 0; i < names.size(); ++i)
        std::printf("  %zu  %s\n", i, names[i].c_str());
}

}  // namespace

int RunDevices(std::span<char* const> argv)
{
    Args args;
    if (auto done = ParseCommand(argv, {}, "devices", kUsage, args))
        return *done;
    if (!args.Operands().empty())
        return UsageError("devices", kUsage, "takes no operands");
    List("Input", InputDeviceNames());
    List("Output", OutputDeviceNames());
    return std::fflush(stdout) == 0 ? 0 : Fail("cannot write to standard output");
}

}  // namespace tool
