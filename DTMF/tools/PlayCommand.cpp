// vardell play: a PCM WAV file through CWave on an output device.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "CWave.h"
#include "Commands.h"
#include "Devices.h"
#include "Options.h"
#include "SignalWatcher.h"
#include "WavProblem.h"

namespace tool {

namespace {

struct PlayArgs {
    std::string path;
    std::optional<std::string> device;
};

// A played sound stays Playing until Stop, so the end is known only from its
// length; the margin covers the output's latency and drain.
constexpr auto kDrainMargin = std::chrono::milliseconds(500);

int RunPlay(const PlayArgs& args)
{
    std::mutex mutex;
    std::condition_variable wake;
    SignalWatcher signals([&] {
        std::lock_guard lock(mutex);
        wake.notify_all();
    });

    CWave wave;
    if (const auto& deviceArg = args.device) {
        const auto names = OutputDeviceNames();
        const auto device = FindDevice(names, *deviceArg);
        if (!device)
            return names.empty() ? Fail("no audio output devices", kExitRuntime)
                                 : Fail("no output device '" + *deviceArg + "' (see 'vardell devices')");
        wave.SetDevice(*device);  // before Load, which opens the device
    }
    const std::string& path = args.path;
    if (!wave.Load(path.c_str())) {
        if (const std::string problem = WavProblem(path); !problem.empty())
            return Fail(path + ": " + problem);
        return wave.IsValid() ? Fail(path + ": cannot open the output device for its format", kExitRuntime)
                              : Fail(path + ": cannot load (no samples, or not a PCM WAV file)");
    }
    const double bytesPerSecond =
        static_cast<double>(wave.GetSampleRate()) * wave.GetChannels() * (wave.GetBitsPerSample() / 8);
    if (!(bytesPerSecond > 0))
        return Fail(path + ": the format gives no playing time");
    if (!wave.Play())
        return Fail(path + ": cannot start playing", kExitRuntime);

    const auto length = std::chrono::duration<double>(static_cast<double>(wave.GetSize()) / bytesPerSecond);
    std::fprintf(stderr, "vardell: playing %s (%.3f s); Ctrl-C to stop\n", path.c_str(), length.count());
    std::unique_lock lock(mutex);
    wake.wait_for(lock, length + kDrainMargin, [&] { return signals.Signalled(); });
    lock.unlock();
    wave.Stop();
    return 0;
}

}  // namespace

CommandRun AddPlay(CLI::App& app)
{
    auto args = std::make_shared<PlayArgs>();
    CLI::App& command = *app.add_subcommand("play", "play a PCM WAV file on an output device");
    command.footer("Plays the PCM WAV file FILE to its end on an audio output device and exits;\n"
                   "Ctrl-C stops it early.");
    command.add_option("FILE", args->path, "the sound")->required();
    command
        .add_option("--device", args->device,
                    "output device index or exact name from 'vardell devices' (default: the system's)")
        ->type_name("N|NAME");
    return [args] { return RunPlay(*args); };
}

}  // namespace tool
