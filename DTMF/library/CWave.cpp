// CWave: RIFF/WAVE PCM reading and writing, whole-sound playback on one
// wave-output device, and in-place mixing.
//
// File layout (all integers little-endian, as the records are kept in memory):
//   0  riffHeader   "RIFF", riffSize, "WAVE"                       12 bytes
//   12 formatChunk  "fmt ", size, the 16-byte PCM format record    24 bytes
//   20 + size (+1 pad if odd)  chunks: id, body size, body (+1 pad if odd)
#include "CWave.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

static_assert(std::endian::native == std::endian::little, "the header records are kept in file byte order");

namespace {

constexpr unsigned int kHeaderSize = sizeof(WAVEHDR);
constexpr std::uint32_t kFormatRecordSize = 16;  // the PCM fields behind the format chunk's size
constexpr std::uint64_t kChunkHeaderSize = 8;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Reads up to `size` bytes into `out`; the rest of `out` is zeroed so that a
// short file is never judged by bytes left over from an earlier one.
bool ReadRecord(std::FILE* f, void* out, std::size_t size)
{
    std::memset(out, 0, size);
    return std::fread(out, 1, size, f) == size;
}

bool Seek(std::FILE* f, std::uint64_t pos)
{
    return pos <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) &&
           fseeko(f, static_cast<off_t>(pos), SEEK_SET) == 0;
}

bool WriteAll(std::FILE* f, const void* p, std::size_t size)
{
    return size == 0 || std::fwrite(p, 1, size, f) == size;
}

// Creates a file beside `target` that nobody else uses; the umask applies as for any new file.
int CreateTemporary(const std::string& target, std::string& name)
{
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

}  // namespace

CWave::CWave() = default;

CWave::CWave(const CWave& other)
    : riffHeader(other.riffHeader), formatChunk(other.formatChunk), deviceId(other.deviceId)
{
    CopySamplesAndDevice(other);
}

CWave& CWave::operator=(const CWave& other)
{
    if (this == &other)
        return *this;
    // A device that will not let go of our samples keeps them, and this sound stays as it is.
    if (!Close())
        return *this;
    riffHeader = other.riffHeader;
    formatChunk = other.formatChunk;
    deviceId = other.deviceId;
    CopySamplesAndDevice(other);
    return *this;
}

// Copies own their samples and their device: sharing either would free it twice.
void CWave::CopySamplesAndDevice(const CWave& other)
{
    waveHeader = {};
    stopped = 1;
    paused = 0;
    if (other.data && other.dataSize > 0) {
        data = static_cast<unsigned char*>(std::malloc(other.dataSize));
        if (data) {
            std::memcpy(data, other.data, other.dataSize);
            dataSize = other.dataSize;
        }
    }
    if (other.waveOut)
        Open(other.openDeviceId, static_cast<short>(formatChunk.nChannels), formatChunk.nSamplesPerSec,
             static_cast<short>(formatChunk.wBitsPerSample));
}

CWave::~CWave()
{
    // If the device cannot be closed it may still read the samples; Close then
    // keeps them, and they are left allocated rather than freed under it.
    Close();
}

// ---------------------------------------------------------------- reading

int CWave::Load(const char* path)
{
    if (!Close())
        return 0;  // the old device still holds the old samples
    if (!path)
        return 0;

    File file(std::fopen(path, "rb"));
    if (!file)
        return 0;
    struct stat st {};
    if (fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);

    if (!ReadRecord(file.get(), &riffHeader, sizeof riffHeader))
        return 0;
    if (std::memcmp(riffHeader.formType, "WAVE", 4) != 0)
        return 0;
    if (!ReadRecord(file.get(), &formatChunk, sizeof formatChunk))
        return 0;
    // A format chunk shorter than the PCM record has no bit depth: not a PCM file we can play.
    if (std::memcmp(formatChunk.id, "fmt", 3) != 0 || formatChunk.wFormatTag != WAVE_FORMAT_PCM ||
        formatChunk.size < kFormatRecordSize)
        return 0;

    // Chunks count while their header lies inside the RIFF body; bodies are
    // taken only as far as the file really goes, whatever the sizes claim.
    const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{riffHeader.riffSize} + 8, fileSize);
    std::uint64_t pos = 20 + std::uint64_t{formatChunk.size} + (formatChunk.size & 1);
    bool complete = true;
    while (pos + kChunkHeaderSize <= end) {
        char id[4];
        std::uint32_t size = 0;
        if (!Seek(file.get(), pos) || std::fread(id, 1, 4, file.get()) != 4 ||
            std::fread(&size, 1, 4, file.get()) != 4) {
            complete = false;
            break;
        }
        const std::uint64_t body = pos + kChunkHeaderSize;
        pos = body + size + (size & 1);
        if (std::memcmp(id, "data", 4) != 0)
            continue;  // skipped: the next Seek passes over it

        const std::uint64_t room = std::numeric_limits<std::uint32_t>::max() - std::uint64_t{dataSize};
        const auto want = static_cast<std::size_t>(std::min({std::uint64_t{size}, fileSize - body, room}));
        if (want == 0)
            continue;
        auto* grown = static_cast<unsigned char*>(std::realloc(data, dataSize + want));
        if (!grown) {  // keep what is held; the sound is incomplete
            complete = false;
            break;
        }
        data = grown;
        const std::size_t got = std::fread(data + dataSize, 1, want, file.get());
        dataSize += static_cast<std::uint32_t>(got);
        if (got != want) {  // the file shrank or failed under us
            complete = false;
            break;
        }
    }
    if (dataSize == 0) {  // a zero-byte body may have left an empty allocation
        std::free(data);
        data = nullptr;
    }
    file.reset();

    const int opened = Open(deviceId, static_cast<short>(formatChunk.nChannels), formatChunk.nSamplesPerSec,
                            static_cast<short>(formatChunk.wBitsPerSample));
    return opened && complete ? 1 : 0;
}

// ---------------------------------------------------------------- writing

// Writes to a temporary file beside the target and renames it over the target
// only when every byte is on disk, so a failed Save leaves an old file intact.
int CWave::Save(char* path)
{
    if (!path)
        return 0;
    const std::string target(path);
    std::string temporary;
    const int fd = CreateTemporary(target, temporary);
    if (fd < 0)
        return 0;
    struct stat old {};
    if (::stat(path, &old) == 0 && S_ISREG(old.st_mode))
        fchmod(fd, old.st_mode & 07777);
    File file(fdopen(fd, "wb"));
    if (!file) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return 0;
    }

    riffHeader.riffSize = dataSize + 36;
    FormatChunk format = formatChunk;
    format.size = kFormatRecordSize;  // exactly the record written, whatever the source file had
    const std::uint32_t sizeField = dataSize;
    bool ok = WriteAll(file.get(), &riffHeader, sizeof riffHeader) && WriteAll(file.get(), &format, sizeof format) &&
              WriteAll(file.get(), "data", 4) && WriteAll(file.get(), &sizeField, 4) &&
              WriteAll(file.get(), data, data ? dataSize : 0) && std::fflush(file.get()) == 0 &&
              fsync(fileno(file.get())) == 0;
    ok = (std::fclose(file.release()) == 0) && ok;
    ok = ok && std::rename(temporary.c_str(), path) == 0;
    if (!ok)
        ::unlink(temporary.c_str());
    return ok ? 1 : 0;
}

// ---------------------------------------------------------------- accessors

short CWave::GetChannels()
{
    return static_cast<short>(formatChunk.nChannels);
}
unsigned long CWave::GetSampleRate()
{
    return formatChunk.nSamplesPerSec;
}
short CWave::GetBitsPerSample()
{
    return static_cast<short>(formatChunk.wBitsPerSample);
}
unsigned char* CWave::GetData()
{
    return data;
}
unsigned long CWave::GetSize()
{
    return dataSize;
}
int CWave::IsValid()
{
    return data != nullptr;
}

// ---------------------------------------------------------------- playback

void CWave::SetDevice(int id)
{
    deviceId = id;
}

int CWave::Open(int id, short nChannels, unsigned long nSamplesPerSec, short wBitsPerSample)
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<WORD>(nChannels);
    format.nSamplesPerSec = static_cast<DWORD>(nSamplesPerSec);
    format.wBitsPerSample = static_cast<WORD>(wBitsPerSample);
    format.nBlockAlign = static_cast<WORD>(unsigned{format.nChannels} * format.wBitsPerSample /
                                           8);  // hostile values wrap, never overflow
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    format.cbSize = 0;

    // The service wants a void callback; ours answers int.
    WAVEOUTPROC proc = [](HWAVEOUT hwo, unsigned int msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
        WaveOut_Proc(hwo, msg, instance, p1, p2);
    };
    waveOut = nullptr;
    const MMRESULT result =
        waveOutOpen(&waveOut, static_cast<unsigned int>(id), &format, reinterpret_cast<DWORD_PTR>(proc),
                    reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR)
        waveOut = nullptr;
    else
        openDeviceId = id;
    paused = 0;
    stopped = 1;
    return result == MMSYSERR_NOERROR ? 1 : 0;
}

// Releases the previous block (a no-op if it is not prepared; fails while the
// device still holds it) and queues the whole sound from its beginning.
int CWave::Queue()
{
    if (waveOutUnprepareHeader(waveOut, &waveHeader, kHeaderSize) != MMSYSERR_NOERROR)
        return 0;
    waveHeader.lpData = reinterpret_cast<char*>(data);
    waveHeader.dwBufferLength = dataSize;
    return waveOutPrepareHeader(waveOut, &waveHeader, kHeaderSize) == MMSYSERR_NOERROR &&
           waveOutWrite(waveOut, &waveHeader, kHeaderSize) == MMSYSERR_NOERROR;
}

int CWave::Play()
{
    if (!data || IsPlaying())
        return 1;
    int result;
    if (!stopped) {
        result = waveOutRestart(waveOut) == MMSYSERR_NOERROR;  // Paused: resume at the kept position
    } else {
        // Stopped, or stopped while paused: Stop's reset took the block back, so it
        // is queued anew; a device left paused is started again.
        const bool wasPaused = paused != 0;
        result = Queue();
        if (result && wasPaused)
            result = waveOutRestart(waveOut) == MMSYSERR_NOERROR;
    }
    paused = 0;
    stopped = 0;
    return result;
}

int CWave::Pause()
{
    if (!data || stopped || paused)
        return 1;
    paused = 1;
    return waveOutPause(waveOut) == MMSYSERR_NOERROR;
}

int CWave::Stop()
{
    if (!data || stopped)
        return 1;
    stopped = 1;  // before the reset, whose WOM_DONE may arrive while it runs
    if (waveOutReset(waveOut) != MMSYSERR_NOERROR)
        return 0;
    return waveOutUnprepareHeader(waveOut, &waveHeader, kHeaderSize) == MMSYSERR_NOERROR;
}

// Frees the samples only once no device can read them any more.
int CWave::Close()
{
    Stop();
    if (waveOut) {
        // Stop may have failed, now or earlier, with the block still queued: the
        // device must hold nothing of ours when it closes.
        waveOutReset(waveOut);
        waveOutUnprepareHeader(waveOut, &waveHeader, kHeaderSize);
        if (waveOutClose(waveOut) != MMSYSERR_NOERROR)
            return 0;
        waveOut = nullptr;
    }
    std::free(data);
    data = nullptr;
    dataSize = 0;
    return 1;
}

// Runs on the service's thread. The finished block is released on the caller's
// thread instead (Queue, Stop, Close): calling into the service from its own
// callback can deadlock. Completion changes no flag, so nothing is left to do.
int CWave::WaveOut_Proc(HWAVEOUT, unsigned int, unsigned long, unsigned long, unsigned long)
{
    return 1;
}

int CWave::IsPlaying()
{
    return !stopped && !paused ? 1 : 0;
}
int CWave::IsPaused()
{
    return paused;
}
int CWave::IsStopped()
{
    return stopped;
}

// ---------------------------------------------------------------- mixing

int CWave::Mix(CWave& other)
{
    if (!data || !stopped || !other.data || !other.stopped || formatChunk.nChannels != other.formatChunk.nChannels ||
        formatChunk.nSamplesPerSec != other.formatChunk.nSamplesPerSec ||
        formatChunk.wBitsPerSample != other.formatChunk.wBitsPerSample)
        return 0;

    const std::uint32_t n = std::min(dataSize, other.dataSize);
    const unsigned char* src = other.data;  // may be data itself: each byte is read before it is written
    switch (formatChunk.wBitsPerSample) {
    case 8: {
        // The average of the two, boosted by log10(20) and saturated.
        const float gain = 1.30103004f;
        for (std::uint32_t i = 0; i < n; ++i) {
            const unsigned average = (unsigned{src[i]} + unsigned{data[i]}) >> 1;
            const auto boosted = static_cast<unsigned>(static_cast<float>(average) * gain);
            data[i] = static_cast<unsigned char>(std::min(boosted, 255u));
        }
        break;
    }
    case 16: {
        // Words are read unsigned; the level 0 lies at full scale and -1 at silence,
        // so quiet pairs are summed and otherwise the louder sample wins.
        const auto level = [](unsigned w) { return static_cast<float>(static_cast<int>(w) - 32768) / 32768.0f; };
        for (std::uint32_t i = 0; i + 1 < n; i += 2) {
            const unsigned s = src[i] | unsigned{src[i + 1]} << 8;
            const unsigned d = data[i] | unsigned{data[i + 1]} << 8;
            const float ls = level(s);
            const float ld = level(d);
            const float product = ls * ld;
            unsigned result = d;
            if (std::fabs(product) > 0.25f)
                result = (s + d) & 0xFFFF;
            else if (std::fabs(ld) > std::fabs(ls))
                result = s;
            data[i] = static_cast<unsigned char>(result);
            data[i + 1] = static_cast<unsigned char>(result >> 8);
        }
        break;
    }
    default:  // other depths, including those below 8 bits, are not mixed
        break;
    }
    return 1;
}
