// vardell play: a PCM WAV file through CWave on an output device.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "CWave.h"
#include "Commands.h"
#include "Devices.h"
#include "Options.h"
#include "SignalWatcher.h"

namespace tool {

namespace {

constexpr const char* kUsage = "usage: vardell play FILE [--device N|NAME]\n"
                               "\n"
                               "Plays the PCM WAV file FILE to its end on an audio output device and exits;\n"
                               "Ctrl-C stops it early.\n"
                               "  --device N|NAME  output device index or exact name from 'vardell devices'\n"
                               "                   (default: the system's default output)\n";

constexpr OptionSpec kOptions[] = {{"--device", true}};

// A played sound stays Playing until Stop, so the end is known only from its
// length; the margin covers the output's latency and drain.
constexpr auto kDrainMargin = std::chrono::milliseconds(500);

}  // namespace

int RunPlay(std::span<char* const> argv)
{
    Args args;
    if (auto done = ParseCommand(argv, kOptions, "play", kUsage, args))
        return *done;
    if (args.Operands().size() != 1)
        return UsageError("play", kUsage, args.Operands().empty() ? "no FILE given" : "more than one FILE given");

    std::mutex mutex;
    std::condition_variable wake;
    SignalWatcher signals([&] {
        std::lock_guard lock(mutex);
        wake.notify_all();
    });

    CWave wave;
    if (auto deviceArg = args.Value("--device")) {
        const auto names = OutputDeviceNames();
        const auto device = FindDevice(names, *deviceArg);
        if (!device)
            return Fail(names.empty() ? "no audio output devices"
                                      : "no output device '" + *deviceArg + "' (see 'vardell devices')");
        wave.SetDevice(*device);  // before Load, which opens the device
    }
    const std::string& path = args.Operands()[0];
    if (!wave.Load(path.c_str()))
        return Fail(path + (wave.IsValid() ? ": cannot open the output device for its format"
                                           : ": cannot load (missing, unreadable or not a PCM WAV file)"));
    const double bytesPerSecond =
        static_cast<double>(wave.GetSampleRate()) * wave.GetChannels() * (wave.GetBitsPerSample() / 8);
    if (!(bytesPerSecond > 0))
        return Fail(path + ": the format gives no playing time");
    if (!wave.Play())
        return Fail(path + ": cannot start playing");

    const auto length = std::chrono::duration<double>(static_cast<double>(wave.GetSize()) / bytesPerSecond);
    std::fprintf(stderr, "vardell: playing %s (%.3f s); Ctrl-C to stop\n", path.c_str(), length.count());
    std::unique_lock lock(mutex);
    wake.wait_for(lock, length + kDrainMargin, [&] { return signals.Signalled(); });
    lock.unlock();
    wave.Stop();
    return 0;
}

}  // namespace tool
