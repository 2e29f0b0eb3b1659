// libFuzzer target: the library's own readers on arbitrary bytes. An input that
// begins with "RIFF" is a WAV stream on a pipe (standard input), read as its
// samples arrive, or handed on to libsndfile; any other input is raw samples
// in a file, in the encoding, channels, rate and channel choice that its first
// two bytes pick. Checks what is handed on: streams in range, no more samples
// than the input holds at that rate, and a warning exactly for a partial frame.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Recording.h"

namespace {

void Check(bool holds)
{
    if (!holds)
        std::abort();
}

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n)
{
    for (ssize_t w; n > 0; p += w, n -= static_cast<std::size_t>(w))
        if ((w = write(fd, p, n)) <= 0)
            return false;
    return true;
}

// The samples handed on, per stream, and their bounds.
struct Tally {
    std::vector<std::size_t> counts;
    void operator()(int stream, const std::int16_t* samples, std::size_t count)
    {
        Check(stream >= 0 && static_cast<std::size_t>(stream) < counts.size() && samples && count > 0);
        counts[static_cast<std::size_t>(stream)] += count;
    }
};

void Streamed(const std::uint8_t* bytes, std::size_t size)
{
    int ends[2];
    if (pipe(ends) != 0)
        return;
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);  // the whole input fits: no writer thread
    const bool wrote = WriteAll(ends[1], bytes, size);
    close(ends[1]);
    if (wrote && dup2(ends[0], STDIN_FILENO) == STDIN_FILENO) {
        Tally tally{std::vector<std::size_t>(1024)};
        vardell::ReadOptions options;
        options.channels.mode = vardell::ChannelChoice::Each;
        vardell::StreamDetectorSamples("-", options, std::ref(tally));
    }
    close(ends[0]);
}

void Raw(const std::uint8_t* bytes, std::size_t size)
{
    static constexpr int kRates[] = {1000, 8000, 11025, 11025, 22050, 48000};
    vardell::ReadOptions options;
    options.raw =
        vardell::RawFormat{kRates[bytes[0] % 6], vardell::kSampleEncodings[(bytes[0] >> 3) % 9], 1 + (bytes[1] & 3)};
    const int mode = (bytes[1] >> 2) % 3, channel = bytes[1] >> 4;
    options.channels = {mode == 0   ? vardell::ChannelChoice::MixDown
                        : mode == 1 ? vardell::ChannelChoice::One
                                    : vardell::ChannelChoice::Each,
                        channel};
    const int fd = memfd_create("raw", MFD_CLOEXEC);
    if (fd < 0)
        return;
    if (WriteAll(fd, bytes + 2, size - 2)) {
        const std::size_t frameBytes =
            static_cast<std::size_t>(options.raw->channels * vardell::SampleBytes(options.raw->encoding));
        const std::size_t frames = (size - 2) / frameBytes;
        Tally tally{std::vector<std::size_t>(mode == 2 ? static_cast<std::size_t>(options.raw->channels) : 1)};
        const vardell::ReadOutcome read =
            vardell::StreamDetectorSamples("/proc/self/fd/" + std::to_string(fd), options, std::ref(tally));
        Check(read.ok() == (mode != 1 || channel < options.raw->channels));
        Check(read.warning.empty() == ((size - 2) % frameBytes == 0 || !read.ok()));
        // The resampler's output keeps to the input's length, give or take its rounding.
        const double most = std::ceil(static_cast<double>(frames) * dtmf::kRate / options.raw->rate) + 2;
        for (const std::size_t count : tally.counts)
            Check(static_cast<double>(count) <= most);
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size >= 4 && std::string(reinterpret_cast<const char*>(bytes), 4) == "RIFF")
        Streamed(bytes, size);
    else if (size >= 2)
        Raw(bytes, size);
    return 0;
}
