// vardell play: a PCM WAV file through CWave on an output device.
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
#include "WaveAudio.h"

namespace tool {

namespace {

struct PlayArgs {
    std::string path;
    std::optional<std::string> device;
};

// The end of playback, or its loss, as the output device reports them.
struct Ending {
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::string lost;

    static void Callback(HWAVEOUT, unsigned int msg, DWORD_PTR self, DWORD_PTR param1, DWORD_PTR)
    {
        auto& ending = *reinterpret_cast<Ending*>(self);
        std::lock_guard lock(ending.mutex);
        if (msg == WOM_LOST)
            ending.lost = reinterpret_cast<const char*>(param1);
        ending.done |= msg == WOM_DONE;
        ending.wake.notify_all();
    }
};

int RunPlay(const PlayArgs& args)
{
    Ending ending;
    SignalWatcher signals([&] {
        std::lock_guard lock(ending.mutex);
        ending.wake.notify_all();
    });

    CWave wave;
    unsigned int device = WAVE_MAPPER;
    if (const auto& deviceArg = args.device) {
        const auto names = vaudio::DeviceNames(vaudio::DeviceKind::Output);
        const auto found = FindDevice(names, *deviceArg);
        if (!found)
            return names.empty() ? Fail(NoDevice("no audio output devices"), kExitRuntime)
                                 : Fail("no output device '" + *deviceArg + "' (see 'vardell devices')");
        device = static_cast<unsigned int>(*found);
        wave.SetDevice(*found);  // before Load, which opens the device
    }
    const std::string& path = args.path;
    if (!wave.Load(path.c_str())) {
        if (const std::string problem = WavProblem(path); !problem.empty())
            return Fail(path + ": " + problem);
        return wave.IsValid() ? Fail(NoDevice(path + ": cannot open the output device for its format"), kExitRuntime)
                              : Fail(path + ": cannot load (no samples, or not a PCM WAV file)");
    }
    const double bytesPerSecond =
        static_cast<double>(wave.GetSampleRate()) * wave.GetChannels() * (wave.GetBitsPerSample() / 8);
    if (!(bytesPerSecond > 0))
        return Fail(path + ": the format gives no playing time");

    // Played through the service directly, whose WOM_DONE says when the sound has
    // really ended (a CWave stays Playing until stopped).
    const auto align = static_cast<WORD>(wave.GetChannels() * (wave.GetBitsPerSample() / 8));
    const WAVEFORMATEX format{WAVE_FORMAT_PCM,
                              static_cast<WORD>(wave.GetChannels()),
                              static_cast<DWORD>(wave.GetSampleRate()),
                              static_cast<DWORD>(bytesPerSecond),
                              align,
                              static_cast<WORD>(wave.GetBitsPerSample()),
                              0};
    HWAVEOUT out = nullptr;
    if (waveOutOpen(&out, device, &format, reinterpret_cast<DWORD_PTR>(&Ending::Callback),
                    reinterpret_cast<DWORD_PTR>(&ending), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        return Fail(NoDevice(path + ": cannot open the output device for its format"), kExitRuntime);
    WAVEHDR header{};
    header.lpData = reinterpret_cast<char*>(wave.GetData());
    header.dwBufferLength = static_cast<DWORD>(wave.GetSize());
    const bool started =
        header.dwBufferLength == 0 || (waveOutPrepareHeader(out, &header, sizeof header) == MMSYSERR_NOERROR &&
                                       waveOutWrite(out, &header, sizeof header) == MMSYSERR_NOERROR);
    if (started) {
        std::fprintf(stderr, "vardell: playing %s (%.3f s); Ctrl-C to stop\n", path.c_str(),
                     static_cast<double>(wave.GetSize()) / bytesPerSecond);
        std::unique_lock lock(ending.mutex);
        ending.wake.wait(lock, [&] { return ending.done || header.dwBufferLength == 0 || signals.Signalled(); });
    }
    waveOutReset(out);
    waveOutUnprepareHeader(out, &header, sizeof header);
    waveOutClose(out);
    std::lock_guard lock(ending.mutex);
    if (!ending.lost.empty())
        return Fail(path + ": playback lost: " + ending.lost, kExitRuntime);
    return started ? 0 : Fail(path + ": cannot start playing", kExitRuntime);
}

}  // namespace

CommandRun AddPlay(CLI::App& app)
{
    auto args = std::make_shared<PlayArgs>();
    CLI::App& command = *app.add_subcommand("play", "play a PCM WAV file on an output device");
    command.footer(R"(Plays the PCM WAV file FILE to its end on an audio output device and exits;
Ctrl-C stops it early.)");
    command.add_option("FILE", args->path, "the sound")->required();
    command
        .add_option("--device", args->device,
                    "output device index or exact name from 'vardell devices' (default: the system's)")
        ->type_name("N|NAME");
    return [args] { return RunPlay(*args); };
}

}  // namespace tool
