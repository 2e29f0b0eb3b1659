// vardell listen: command texts heard live on an input device, until Ctrl-C or SIGTERM.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "AudioMonitor.h"
#include "CommandReader.h"
#include "Commands.h"
#include "Devices.h"
#include "Messages.h"
#include "Options.h"
#include "OwnedWindow.h"
#include "SignalWatcher.h"

namespace tool {

namespace {

struct ListenArgs {
    std::string device = "0";
    bool keys = false;
    bool timestamps = false;
    bool exitOnLoss = false;
    bool strict = false;
};

int RunListen(const ListenArgs& args)
{
    // First, before the sound service starts threads of its own.
    SignalWatcher signals([] { NotifyPumpingThreads(); });

    const std::string& deviceArg = args.device;
    const auto names = vaudio::DeviceNames(vaudio::DeviceKind::Input);
    const auto device = FindDevice(names, deviceArg);
    if (!device)
        return names.empty() ? Fail(NoDevice("no audio input devices"), kExitRuntime)
                             : Fail("no input device '" + deviceArg + "' (see 'vardell devices')");

    const bool keys = args.keys;
    const bool timestamps = args.timestamps;
    const auto start = std::chrono::steady_clock::now();
    std::string lost;  // why capture was lost, with --exit-on-loss
    const auto onState = [&](MonitorState state, const char* reason) {
        if (state == MonitorState::Listening) {
            std::fprintf(stderr, "vardell: capture resumed on input device %d (%s)\n", *device,
                         names[static_cast<std::size_t>(*device)].c_str());
        } else if (args.exitOnLoss) {
            lost = reason;
        } else {
            std::fprintf(stderr, "vardell: capture lost: %s; waiting for the sound server\n", reason);
        }
    };
    OwnedWindow window([&](HWND, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (msg == WM_DTMFSTATE)
            onState(static_cast<MonitorState>(wParam), lParam ? reinterpret_cast<const char*>(lParam) : "");
        if (msg != WM_DTMFCOMMAND)
            return 0;
        std::string line = reinterpret_cast<const char*>(wParam);
        // Each text is the one before plus one key, or a start key alone.
        if (keys && !line.empty())
            line = line.substr(line.size() - 1);
        if (timestamps)
            std::printf("%.3f ", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        return 0;
    });

    {
        // The monitor goes before the reader it feeds.
        std::unique_ptr<CommandReader> reader;
        std::unique_ptr<AudioMonitor> monitor;
        AudioMonitor::SetStrictDetection(args.strict);
        if (IsIndex(deviceArg)) {
            reader = std::make_unique<CommandReader>(window.Get());
            monitor = std::make_unique<AudioMonitor>(reader.get(), *device);
        } else {
            monitor = std::make_unique<AudioMonitor>(window.Get(), deviceArg);
        }
        if (!AudioMonitor::NotifyStateTo(window.Get()))
            return Fail(NoDevice("cannot open input device " + std::to_string(*device)), kExitRuntime);
        // Only now: a caller that waits for this line finds the device open.
        std::fprintf(stderr, "vardell: listening on input device %d (%s); Ctrl-C to stop\n", *device,
                     names[static_cast<std::size_t>(*device)].c_str());
        if (AudioMonitor::State() == MonitorState::Lost)  // before we asked to be told
            onState(MonitorState::Lost, "the device went away");
        // Handles the worker's notifications while waiting for the signal.
        WaitPumping([&] { return signals.Signalled() || !lost.empty(); });
        monitor.reset();
        reader.reset();
    }
    if (!lost.empty())
        return Fail("capture lost: " + lost, kExitRuntime);
    return 0;
}

}  // namespace

CommandRun AddListen(CLI::App& app)
{
    auto args = std::make_shared<ListenArgs>();
    CLI::App& command = *app.add_subcommand("listen", "print the command texts heard on an input device until Ctrl-C");
    command.footer(R"(Listens on an audio input device and prints every command text as it
arrives, one per line, until Ctrl-C or SIGTERM. With --keys, only keys
inside commands are printed: no others reach the application. When the
device is lost (the sound server stops), a line on standard error says so
and listening resumes by itself once the device is back.)");
    command.add_option("DEVICE", args->device, "input device index or exact name from 'vardell devices'")
        ->capture_default_str();
    command.add_flag("--keys", args->keys, "print the key that each text adds instead of the texts");
    command.add_flag("--timestamps", args->timestamps, "start each line with the seconds since listening started");
    command.add_flag("--exit-on-loss", args->exitOnLoss,
                     "exit (status 1) when capture is lost, instead of waiting for the sound server");
    command.add_flag("--strict", args->strict, kStrictHelp);
    return [args] { return RunListen(*args); };
}

}  // namespace tool
