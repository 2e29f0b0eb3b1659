#include "FrameSource.h"

#include <algorithm>
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
#include "Recording.h"
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
        else if (info.frames > 0 && info.frames < SF_COUNT_MAX)
            left = info.frames, pieceFrames = std::clamp<std::size_t>(static_cast<std::size_t>(left), 1, pieceFrames);
    }
    ~SndfileSource() override { sf_close(file); }

    std::size_t ReadShorts(short* out, std::size_t frames) override
    {
        return Count(sf_readf_short(file, out, Asked(frames)));
    }
    std::size_t ReadFloats(float* out, std::size_t frames) override
    {
        return Count(sf_readf_float(file, out, Asked(frames)));
    }
    std::string Error() const override
    {
        return sf_error(file) == SF_ERR_NO_ERROR ? std::string() : SndfileReason(file);
    }

private:
    // libsndfile zeroes what a read asks for beyond the end: asking no more than is
    // left (and one frame at the end, to find it) saves a short file that work.
    sf_count_t Asked(std::size_t frames) const
    {
        const auto asked = static_cast<sf_count_t>(frames);
        return left < 0 ? asked : std::min(asked, std::max<sf_count_t>(left, 1));
    }
    std::size_t Count(sf_count_t got)
    {
        if (got <= 0)
            return 0;
        if (left >= 0)
            left = std::max<sf_count_t>(left - got, 0);
        return static_cast<std::size_t>(got);
    }

    Descriptor input;  // a pipe that `relay` hands on; closed last
    std::unique_ptr<InputRelay> relay;
    SNDFILE* file;
    sf_count_t left = -1;  // frames the header says are still to come; -1: unknown
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

// A WAV file whose samples the library reads by itself: one of PcmSamples'
// encodings, its data chunk whole within the file. libsndfile gives the same
// values, but its open costs a short file some twenty system calls and as much
// time again as the decoding; anything less plain is left to it (null).
std::unique_ptr<FrameSource> OpenPlainWav(const std::string& path)
{
    Descriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat status {};
    if (file.fd < 0 || fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode))
        return nullptr;
    unsigned char first[4096];
    const ssize_t got = ReadArrived(file.fd, first, sizeof first);
    std::size_t served = 0;
    std::string consumed;
    const auto header = vardell::ReadWavHeader(
        [&](unsigned char* bytes, std::size_t count) {
            std::size_t n = std::min(count, got > 0 ? static_cast<std::size_t>(got) - served : 0);
            std::memcpy(bytes, first + served, n);
            served += n;
            for (ssize_t more; n < count && (more = ReadArrived(file.fd, bytes + n, count - n)) > 0;)
                n += static_cast<std::size_t>(more);
            return n;
        },
        consumed);
    const auto end = static_cast<std::uint64_t>(status.st_size);
    if (!header || header->dataBytes == 0 || consumed.size() + header->dataBytes > end ||
        lseek(file.fd, static_cast<off_t>(consumed.size()), SEEK_SET) < 0)
        return nullptr;
    auto source = std::make_unique<PcmSource>(file.fd, header->format, header->dataBytes, false);
    file.fd = -1;  // the source's now
    return source;
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

}  // namespace

namespace vardell {

bool IsLiveInput(const std::string& path)
{
    struct stat status {};
    if (path == "-")
        return fstat(STDIN_FILENO, &status) == 0 && !S_ISREG(status.st_mode);
    return stat(path.c_str(), &status) == 0 &&
           (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode) || S_ISSOCK(status.st_mode));
}

}  // namespace vardell

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
    const bool live = vardell::IsLiveInput(path);
    if (!live && path != "-")
        if (auto wav = OpenPlainWav(path))
            return wav;
    if (!live) {
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
