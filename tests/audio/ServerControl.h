// The test fixture's PulseAudio server (PULSE_SERVER=unix:DIR/pulse/native), killed and
// restarted by its pid through scripts/pulse-server; and device lookup by name.
#pragma once

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "WaveAudio.h"

namespace servertest {

inline std::string ServerDir()
{
    const char* server = std::getenv("PULSE_SERVER");
    std::string dir = server ? server : "";
    const auto at = dir.rfind("/pulse/native");
    return dir.rfind("unix:", 0) == 0 && at != std::string::npos ? dir.substr(5, at - 5) : "";
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

// The number of the device named `name` (after a fresh count), or -1.
template <class Caps>
int FindDevice(std::string_view name)
{
    constexpr bool in = sizeof(Caps) == sizeof(WAVEINCAPSA);
    const unsigned count = in ? waveInGetNumDevs() : waveOutGetNumDevs();
    for (unsigned i = 0; i < count; ++i) {
        Caps caps{};
        MMRESULT r;
        if constexpr (in)
            r = waveInGetDevCapsA(i, &caps, sizeof caps);
        else
            r = waveOutGetDevCapsA(i, &caps, sizeof caps);
        if (r == MMSYSERR_NOERROR && name == caps.szPname)
            return int(i);
    }
    return -1;
}

}  // namespace servertest
