// WAV files built byte by byte, a scratch folder per test, and virtual output devices.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CWave.h"
#include "VirtualAudio.h"

namespace wavetest {

using Bytes = std::vector<std::uint8_t>;
using vaudio::OutputClock;

// Writes `v` as `n` little-endian bytes at `at`, by default at the end.
inline Bytes Put(Bytes b, std::uint32_t v, int n = 4, std::size_t at = SIZE_MAX)
{
    if (at == SIZE_MAX)
        at = b.size(), b.resize(b.size() + n);
    for (int i = 0; i < n; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return b;
}
inline Bytes Ramp(std::size_t n, std::uint8_t start = 0, std::size_t step = 7)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(start + i * step);
    return b;
}
inline Bytes Words(std::initializer_list<int> samples)
{
    Bytes b;
    for (int s : samples)
        b = Put(b, static_cast<std::uint16_t>(s), 2);
    return b;
}

struct Format {
    std::uint16_t tag = 1, channels = 1;
    std::uint32_t rate = 11025;
    std::uint16_t bits = 16;
};

// "RIFF", a format chunk of `fmtSize` bytes (16 PCM bytes, then zeros), then the
// chunks, odd bodies with their pad byte; riffSize fits exactly.
inline Bytes File(const std::vector<std::pair<const char*, Bytes>>& chunks, Format f = {}, std::uint32_t fmtSize = 16)
{
    Bytes b{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    const auto align = static_cast<std::uint16_t>(unsigned{f.channels} * f.bits / 8);
    b = Put(Put(Put(Put(Put(Put(Put(b, fmtSize), f.tag, 2), f.channels, 2), f.rate), f.rate * align), align, 2), f.bits,
            2);
    b.resize(b.size() + fmtSize - 16 + fmtSize % 2, 0);
    for (const auto& [id, body] : chunks) {
        b.insert(b.end(), id, id + 4);
        b = Put(b, static_cast<std::uint32_t>(body.size()));
        b.insert(b.end(), body.begin(), body.end());
        b.resize(b.size() + body.size() % 2, 0);
    }
    return Put(b, static_cast<std::uint32_t>(b.size() - 8), 4, 4);
}
inline Bytes Canonical(const Bytes& samples, Format f = {})
{
    return File({{"data", samples}}, f);
}
inline Bytes Held(CWave& w)
{
    return w.GetData() ? Bytes(w.GetData(), w.GetData() + w.GetSize()) : Bytes();
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
    void TearDown() override { vaudio::RemoveVirtualDevices(), std::filesystem::remove_all(dir); }
    static int Output(OutputClock clock = OutputClock::Instant, bool failOpen = false)
    {
        return static_cast<int>(vaudio::AddVirtualOutput("out", {clock, failOpen}));
    }
    // A sound whose device cannot open: Load fails, the samples stay, and it stays Stopped.
    void Fill(CWave& w, const Bytes& samples, Format f = {})
    {
        w.SetDevice(Output(OutputClock::Instant, true));
        EXPECT_EQ(w.Load(Write(Canonical(samples, f)).c_str()), 0);
        EXPECT_EQ(Held(w), samples);
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    std::string Write(const Bytes& bytes, const std::string& name = "in.wav") const
    {
        std::ofstream(Path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
        return Path(name);
    }
    static Bytes Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    std::filesystem::path dir;
};

}  // namespace wavetest
