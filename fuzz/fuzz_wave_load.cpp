// libFuzzer target: CWave::Load on arbitrary bytes, then Mix and the accessors
// over whatever it kept. The file lives in memory (memfd) to keep runs fast.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CWave.h"
#include "VirtualAudio.h"

namespace {

int device = -1;

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A device that never opens: no sound server, no playback thread per run.
    vaudio::UseServerDevices(false);
    device = static_cast<int>(vaudio::AddVirtualOutput("fuzz", {vaudio::OutputClock::Instant, true}));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const int fd = memfd_create("wave", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (WriteAll(fd, bytes, size)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        CWave wave;
        wave.SetDevice(device);
        wave.Load(path.c_str());
        // Never more samples than the file held, and a size only with a buffer.
        if (wave.GetSize() > size || (wave.GetSize() != 0) != (wave.IsValid() != 0))
            std::abort();
        if (wave.IsValid()) {
            volatile unsigned char sink = wave.GetData()[0] ^ wave.GetData()[wave.GetSize() - 1];
            (void)sink;
        }
        wave.Mix(wave);
        CWave copy(wave);
        if (copy.GetSize() != wave.GetSize())
            std::abort();
        copy.Mix(wave);
    }
    close(fd);
    return 0;
}
