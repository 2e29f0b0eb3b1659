// Builds WAV files byte by byte for the tests, and a scratch folder to keep them in.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "VirtualAudio.h"

namespace wavetest {

using Bytes = std::vector<std::uint8_t>;

inline void Put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void Put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void PutId(Bytes& b, const char* id) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(id[i]));
}

struct Format {
    std::uint16_t tag = 1, channels = 1;
    std::uint32_t rate = 11025;
    std::uint16_t bits = 16;
};

// A chunk: identifier, size field, body and, for odd bodies, a pad byte.
inline void PutChunk(Bytes& b, const char* id, const Bytes& body, bool pad = true) {
    PutId(b, id);
    Put32(b, static_cast<std::uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    if (pad && body.size() % 2) b.push_back(0);
}

// "RIFF" header and a format chunk of `fmtSize` bytes (16 PCM bytes, then zeros).
inline Bytes Header(Format f = {}, std::uint32_t fmtSize = 16) {
    Bytes b;
    PutId(b, "RIFF");
    Put32(b, 0);  // patched by Finish
    PutId(b, "WAVE");
    PutId(b, "fmt ");
    Put32(b, fmtSize);
    const std::uint16_t align = static_cast<std::uint16_t>(unsigned{f.channels} * f.bits / 8);
    Put16(b, f.tag);
    Put16(b, f.channels);
    Put32(b, f.rate);
    Put32(b, f.rate * align);
    Put16(b, align);
    Put16(b, f.bits);
    for (std::uint32_t i = 16; i < fmtSize; ++i) b.push_back(0);
    if (fmtSize % 2) b.push_back(0);
    return b;
}

// Sets riffSize to the exact size of what follows it.
inline Bytes Finish(Bytes b) {
    const auto size = static_cast<std::uint32_t>(b.size() - 8);
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    return b;
}

inline Bytes Ramp(std::size_t n, std::uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(start + i * 7);
    return b;
}

inline Bytes Canonical(const Bytes& samples, Format f = {}) {
    Bytes b = Header(f);
    PutChunk(b, "data", samples);
    return Finish(b);
}

// A folder of its own per test, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vardell-wave-XXXXXX").string();
        path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const Bytes& bytes) const {
        std::ofstream(File(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                          static_cast<std::streamsize>(bytes.size()));
        return File(name);
    }
    std::size_t Count() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(path_), {}));
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Virtual output devices only, numbered from 0 in the order a test adds them.
class VirtualDevices : public ::testing::Test {
protected:
    void SetUp() override {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(false);
    }
    void TearDown() override { vaudio::RemoveVirtualDevices(); }
    static unsigned Output(vaudio::OutputClock clock = vaudio::OutputClock::Instant, bool failOpen = false) {
        static int serial = 0;
        return vaudio::AddVirtualOutput("out" + std::to_string(serial++), {clock, failOpen});
    }
    TempDir dir;
};

}  // namespace wavetest
