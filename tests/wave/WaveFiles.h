// WAV files built byte by byte, a scratch folder per test, and virtual output devices.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "CWave.h"
#include "VirtualAudio.h"

namespace wavetest {

using Bytes = std::vector<std::uint8_t>;
using vaudio::OutputClock;

// Appends `v` as `n` little-endian bytes.
inline void Put(Bytes& b, std::uint32_t v, int n = 4)
{
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
// Overwrites the 32-bit field at `at`.
inline Bytes Patch(Bytes b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return b;
}
inline Bytes Ramp(std::size_t n, std::uint8_t start = 0)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(start + i * 7);
    return b;
}
inline Bytes Words(std::initializer_list<int> samples)
{
    Bytes b;
    for (int s : samples)
        Put(b, static_cast<std::uint16_t>(s), 2);
    return b;
}

struct Format {
    std::uint16_t tag = 1, channels = 1;
    std::uint32_t rate = 11025;
    std::uint16_t bits = 16;
};
using Chunks = std::vector<std::pair<const char*, Bytes>>;

// "RIFF", a format chunk of `fmtSize` bytes (16 PCM bytes, then zeros), then the
// chunks, odd bodies with their pad byte; riffSize fits exactly.
inline Bytes File(const Chunks& chunks, Format f = {}, std::uint32_t fmtSize = 16)
{
    Bytes b{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    const auto align = static_cast<std::uint16_t>(unsigned{f.channels} * f.bits / 8);
    Put(b, fmtSize), Put(b, f.tag, 2), Put(b, f.channels, 2), Put(b, f.rate), Put(b, f.rate * align);
    Put(b, align, 2), Put(b, f.bits, 2);
    b.resize(b.size() + fmtSize - 16 + fmtSize % 2, 0);
    for (const auto& [id, body] : chunks) {
        b.insert(b.end(), id, id + 4);
        Put(b, static_cast<std::uint32_t>(body.size()));
        b.insert(b.end(), body.begin(), body.end());
        b.resize(b.size() + body.size() % 2, 0);
    }
    return Patch(b, 4, static_cast<std::uint32_t>(b.size() - 8));
}
inline Bytes Canonical(const Bytes& samples, Format f = {})
{
    return File({{"data", samples}}, f);
}
inline Bytes Held(CWave& w)
{
    return Bytes(w.GetData(), w.GetData() + w.GetSize());
}

// Virtual output devices only, numbered from 0 in the order a test adds them.
class WaveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(false);
        std::string tmpl = (std::filesystem::temp_directory_path() / "vardell-wave-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        vaudio::RemoveVirtualDevices();
        std::filesystem::remove_all(dir);
    }
    static int Output(OutputClock clock = OutputClock::Instant, bool failOpen = false)
    {
        static int serial = 0;
        return static_cast<int>(vaudio::AddVirtualOutput("out" + std::to_string(serial++), {clock, failOpen}));
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    std::string Write(const Bytes& bytes, const std::string& name = "in.wav") const
    {
        std::ofstream(Path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return Path(name);
    }
    static Bytes Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    std::size_t Count() const
    {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
    }
    std::filesystem::path dir;
};

}  // namespace wavetest
