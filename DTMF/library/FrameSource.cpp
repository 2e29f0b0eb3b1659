#include "FrameSource.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sndfile.h>

#include "InputRelay.h"
#include "PcmSamples.h"
#include "Sndfile.h"
#include "WavHeader.h"

using vardell::RawFormat;

namespace {

// One read(2) of what has arrived, waiting for something on an input opened
// non-blocking; -1 sets errno.
ssize_t ReadArrived(int fd, unsigned char* bytes, std::size_t count)
{
    for (;;) {
        const ssize_t got = read(fd, bytes, count);
        if (got >= 0 || (errno != EINTR && errno != EAGAIN))
            return got;
        if (errno == EAGAIN) {
            pollfd wait{fd, POLLIN, 0};
            poll(&wait, 1, -1);
        }
    }
}

// Closes an input that the library opened (never standard input).
void Release(int fd)
{
    if (fd > STDERR_FILENO)
        close(fd);
}

struct Descriptor {
    int fd = -1;
    ~Descriptor() { Release(fd); }
};

class SndfileSource final : public FrameSource {
public:
    SndfileSource(SNDFILE* f, const SF_INFO& info, int input = -1, std::unique_ptr<InputRelay> r = nullptr)
        : input{input}, relay(std::move(r)), file(f)
    {
        rate = info.samplerate, channels = info.channels;
        pcm16 = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
        if (relay)
            pieceFrames = 4096;
    }
    ~SndfileSource() override { sf_close(file); }

    std::size_t ReadShorts(short* out, std::size_t frames) override
    {
        return Count(sf_readf_short(file, out, static_cast<sf_count_t>(frames)));
    }
    std::size_t ReadFloats(float* out, std::size_t frames) override
    {
        return Count(sf_readf_float(file, out, static_cast<sf_count_t>(frames)));
    }
    std::string Error() const override
    {
        return sf_error(file) == SF_ERR_NO_ERROR ? std::string() : SndfileReason(file);
    }

private:
    static std::size_t Count(sf_count_t got) { return got > 0 ? static_cast<std::size_t>(got) : 0; }

    Descriptor input;  // a pipe that `relay` hands on; closed last
    std::unique_ptr<InputRelay> relay;
    SNDFILE* file;
};

// Samples in one of PcmSamples' encodings, `dataBytes` of them at most.
class PcmSource final : public FrameSource {
public:
    PcmSource(int fd, const RawFormat& format, std::uint64_t dataBytes, bool warnPartial)
        : input{fd},
          encoding(format.encoding),
          frameBytes(static_cast<std::size_t>(format.channels * vardell::SampleBytes(format.encoding))),
          left(dataBytes),
          warnPartial(warnPartial)
    {
        rate = format.rate, channels = format.channels;
        pcm16 = encoding == vardell::SampleEncoding::S16LE;
    }

    std::size_t ReadShorts(short* out, std::size_t frames) override
    {
        const std::size_t got = Fill(frames);
        vardell::ToShorts(bytes.data(), got * static_cast<std::size_t>(channels), out);
        return Consume(got);
    }
    std::size_t ReadFloats(float* out, std::size_t frames) override
    {
        const std::size_t got = Fill(frames);
        vardell::ToFloats(encoding, bytes.data(), got * static_cast<std::size_t>(channels), out);
        return Consume(got);
    }
    std::string Error() const override { return error; }
    std::string Warning() const override { return warning; }

private:
    // Reads until a whole frame is held or the input ends; the whole frames held, at most `frames`.
    std::size_t Fill(std::size_t frames)
    {
        const std::size_t need = frames * frameBytes;
        if (bytes.size() < need)
            bytes.resize(need);
        while (!ended && held < frameBytes) {
            const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(need - held, left));
            const ssize_t got = want == 0 ? 0 : ReadArrived(input.fd, bytes.data() + held, want);
            if (got < 0)
                error = errno == EISDIR ? "is a directory" : std::strerror(errno);
            if (got <= 0) {
                ended = true;
                break;
            }
            held += static_cast<std::size_t>(got), left -= static_cast<std::uint64_t>(got);
        }
        if (ended && held % frameBytes != 0 && warnPartial && error.empty())
            warning = std::to_string(held % frameBytes) + " byte(s) at the end do not make a whole frame of " +
                      std::to_string(frameBytes) + "; left out";
        return std::min(frames, held / frameBytes);
    }
    // Drops the first `frames` frames held; returns `frames`.
    std::size_t Consume(std::size_t frames)
    {
        const std::size_t used = frames * frameBytes;
        std::memmove(bytes.data(), bytes.data() + used, held - used);
        held -= used;
        return frames;
    }

    Descriptor input;
    vardell::SampleEncoding encoding;
    std::size_t frameBytes;
    std::uint64_t left;  // bytes of samples still to come, at most
    bool warnPartial;
    std::vector<unsigned char> bytes;
    std::size_t held = 0;
    bool ended = false;
    std::string error, warning;
};

// Opens a file for PcmSource or the relay (standard input as it is); -1 sets `error`.
int OpenInput(const std::string& path, std::string& error)
{
    if (path == "-")
        return STDIN_FILENO;
    if (std::error_code e; std::filesystem::is_directory(path, e)) {
        error = "is a directory";
        return -1;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        error = std::strerror(errno);
    return fd;
}

std::string CheckRaw(const RawFormat& raw)
{
    if (raw.rate < RawFormat::kMinRate || raw.rate > RawFormat::kMaxRate)
        return "the raw sample rate must be from " + std::to_string(RawFormat::kMinRate) + " to " +
               std::to_string(RawFormat::kMaxRate) + " Hz";
    if (raw.channels < 1 || raw.channels > RawFormat::kMaxChannels)
        return "raw samples must have 1 to " + std::to_string(RawFormat::kMaxChannels) + " channels";
    return {};
}

// A pipe, a terminal or a socket: read as the samples arrive.
bool Streamed(const std::string& path)
{
    struct stat status {};
    if (path == "-")
        return fstat(STDIN_FILENO, &status) == 0 && !S_ISREG(status.st_mode);
    return stat(path.c_str(), &status) == 0 &&
           (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode) || S_ISSOCK(status.st_mode));
}

}  // namespace

std::unique_ptr<FrameSource> OpenFrameSource(const std::string& path, const std::optional<RawFormat>& raw,
                                             std::string& error)
{
    if (raw) {
        error = CheckRaw(*raw);
        const int fd = error.empty() ? OpenInput(path, error) : -1;
        return fd < 0 ? nullptr
                      : std::make_unique<PcmSource>(fd, *raw, std::numeric_limits<std::uint64_t>::max(), true);
    }
    SF_INFO info{};
    if (!Streamed(path)) {
        const std::lock_guard turn(SndfileOpening());
        SNDFILE* file =
            path == "-" ? sf_open_fd(STDIN_FILENO, SFM_READ, &info, SF_FALSE) : sf_open(path.c_str(), SFM_READ, &info);
        if (!file)  // libsndfile calls a directory an unknown format
            error = std::filesystem::is_directory(path) ? "is a directory" : SndfileReason(nullptr);
        return file ? std::make_unique<SndfileSource>(file, info) : nullptr;
    }
    const int fd = OpenInput(path, error);
    if (fd < 0)
        return nullptr;
    std::string consumed;
    const auto header = vardell::ReadWavHeader(
        [fd](unsigned char* bytes, std::size_t count) {
            std::size_t got = 0;
            for (ssize_t n; got < count && (n = ReadArrived(fd, bytes + got, count - got)) > 0;)
                got += static_cast<std::size_t>(n);
            return got;
        },
        consumed);
    if (header)
        return std::make_unique<PcmSource>(fd, header->format, header->dataBytes, false);
    auto relay = std::make_unique<InputRelay>(std::move(consumed), fd, error);
    std::unique_lock turn(SndfileOpening());
    SNDFILE* file = error.empty() ? sf_open_fd(relay->ReadEnd(), SFM_READ, &info, SF_FALSE) : nullptr;
    if (!file && error.empty())
        error = SndfileReason(nullptr);
    turn.unlock();
    if (!file) {
        relay.reset();  // stops reading `fd` before it is closed
        Release(fd);
        return nullptr;
    }
    return std::make_unique<SndfileSource>(file, info, fd, std::move(relay));
}
