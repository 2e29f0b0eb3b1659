// The test fixture's PulseAudio server (PULSE_SERVER=unix:DIR/pulse/native), killed and
// restarted by its pid through scripts/pulse-server; and device lookup by name.
#pragma once

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "DeviceNames.h"
#include "WaveAudio.h"

namespace servertest {

inline std::string ServerDir()
{
    const std::string server = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
    return server.substr(5, server.rfind("/pulse/native") - 5);  // "unix:" DIR "/pulse/native"
}

// Kills the server outright, as a crash would.
inline bool KillServer()
{
    int pid = 0;
    std::ifstream(ServerDir() + "/server.pid") >> pid;
    return pid > 0 && ::kill(pid, SIGKILL) == 0;
}

inline bool StartServer()
{
    return std::system((std::string(VARDELL_PULSE_SCRIPT) + " start " + ServerDir()).c_str()) == 0;
}

// For a failure's message: whether the server's process lives, and its log since it started.
inline std::string ServerState()
{
    int pid = 0;
    std::ifstream(ServerDir() + "/server.pid") >> pid;
    std::stringstream log;
    log << std::ifstream(ServerDir() + "/pa.log").rdbuf();
    return "\nserver " + std::to_string(pid) + (pid > 0 && ::kill(pid, 0) == 0 ? " runs" : " is gone") +
           "; its log:\n" + log.str();
}

// The number of the device named `name` (after a fresh count), or -1.
template <class Caps>
int FindDevice(std::string_view name)
{
    const auto kind = sizeof(Caps) == sizeof(WAVEINCAPSA) ? vaudio::DeviceKind::Input : vaudio::DeviceKind::Output;
    const auto device = vaudio::FindDevice(kind, name);
    return device ? int(*device) : -1;
}

}  // namespace servertest
