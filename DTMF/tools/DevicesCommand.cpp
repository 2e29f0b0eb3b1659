// vardell devices: the input and output devices, by the numbers the other commands take.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "Devices.h"
#include "Options.h"
#include "VirtualAudio.h"

namespace tool {

namespace {

void List(const char* title, const std::vector<std::string>& names)
{
    std::printf("%s devices:\n", title);
    if (names.empty())
        std::printf("  (none)\n");
    for (std::size_t i = 0; i < names.size(); ++i)
        std::printf("  %zu  %s\n", i, names[i].c_str());
}

int RunDevices()
{
    if (const std::string problem = vaudio::SoundServerProblem(); !problem.empty())
        return Fail("cannot reach the sound server: " + problem, kExitRuntime);
    List("Input", vaudio::DeviceNames(vaudio::DeviceKind::Input));
    List("Output", vaudio::DeviceNames(vaudio::DeviceKind::Output));
    return std::fflush(stdout) == 0 ? 0 : Fail("cannot write to standard output", kExitRuntime);
}

}  // namespace

CommandRun AddDevices(CLI::App& app)
{
    CLI::App& command = *app.add_subcommand("devices", "list the audio input and output devices");
    command.footer(R"(Lists the audio input devices (for 'vardell listen') and output devices (for
'vardell play --device'), each with its index and name. Input device 0 is
the one that 'vardell listen' uses by default.)");
    return [] { return RunDevices(); };
}

}  // namespace tool
