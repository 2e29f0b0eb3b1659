// In-process virtual wave devices, for tests and for feeding recordings through
// the live capture path. They appear in this process's device lists only, ahead
// of the sound server's devices, in registration order.
//
//     unsigned int mic = vaudio::AddVirtualInput("Test mic", samples, {vaudio::Pacing::RealTime});
//     AudioMonitor monitor(&reader, int(mic));   // hears `samples` as if they were captured
//
// Threads: every function may be called from any thread. A virtual device runs
// its own thread, from which its buffers are filled or played.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#if __has_include(<version>)
#include <version>
#endif
#ifdef __cpp_lib_span
#include <span>
#endif

#include "WaveAudio.h"

namespace vaudio {

enum class Pacing {
    RealTime,         // one 256-frame block every 256/rate seconds, silence after the source ends;
                      // samples fed while it runs dry start at that moment, as on a live device
    AsFastAsBuffers,  // each added buffer is filled at once until the source ends; then nothing more
};

struct InputOptions {
    Pacing pacing = Pacing::AsFastAsBuffers;
    bool failOpen = false;  // waveInOpen on this device fails
};

// Registers an input device fed with 16-bit samples in the format it will be
// opened with (mono 11025 Hz for the monitor). Returns its device number.
VARDELL_API unsigned int AddVirtualInput(const std::string& name, std::vector<std::int16_t> samples,
                                         InputOptions options = {});
// The same, fed from a 16-bit PCM WAV file; returns -1 (WAVE_MAPPER) when the file is unusable.
VARDELL_API unsigned int AddVirtualInputFile(const std::string& name, const std::string& wavPath,
                                             InputOptions options = {});
// Appends samples to a virtual input's source, e.g. to start a tone at a known time.
VARDELL_API void FeedVirtualInput(unsigned int device, const std::int16_t* samples, std::size_t count);
#ifdef __cpp_lib_span
inline void FeedVirtualInput(unsigned int device, std::span<const std::int16_t> samples)
{
    FeedVirtualInput(device, samples.data(), samples.size());
}
#endif
// Number of source samples delivered so far.
VARDELL_API std::size_t VirtualInputDelivered(unsigned int device);

enum class OutputClock {
    Instant,   // a written block is played at once; WOM_DONE follows immediately
    RealTime,  // played at the format's rate
    Manual,    // nothing plays until AdvanceVirtualOutput
};

struct OutputOptions {
    OutputClock clock = OutputClock::Instant;
    bool failOpen = false;  // waveOutOpen on this device fails
};

VARDELL_API unsigned int AddVirtualOutput(const std::string& name, OutputOptions options = {});
// Bytes played so far on the device, across all opens, in order.
VARDELL_API std::vector<std::uint8_t> VirtualOutputPlayed(unsigned int device);
// Manual clock: plays up to `bytes` more of the queued block (none while paused).
VARDELL_API void AdvanceVirtualOutput(unsigned int device, std::size_t bytes);
// How many times the device has been opened (and is open now).
VARDELL_API int VirtualOutputOpens(unsigned int device);
VARDELL_API bool VirtualOutputIsOpen(unsigned int device);

// Removes every virtual device; devices still open keep working until closed.
VARDELL_API void RemoveVirtualDevices();
// Hides (false) or shows (true, the default) the sound server's devices in this process.
VARDELL_API void UseServerDevices(bool use);
// Empty while the sound server answers; otherwise why it does not ("Connection refused").
VARDELL_API std::string SoundServerProblem();

}  // namespace vaudio
