// PlaySoundA on a virtual output through WAVE_MAPPER (the server's devices hidden).
#include <cstdio>

#include "TestSupport.h"

using namespace audiotest;
using namespace std::chrono_literals;

namespace {

constexpr DWORD kFlags = SND_FILENAME | SND_ASYNC | SND_NODEFAULT;

// A PCM WAV written by hand: `bits` 8 or 16, mono.
std::string WriteWav(const std::string& name, const std::vector<std::uint8_t>& data, WORD bits, DWORD rate = 11025) {
    std::string path = ::testing::TempDir() + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    auto u32 = [&](std::uint32_t v) { std::fwrite(&v, 4, 1, f); };
    auto u16 = [&](std::uint16_t v) { std::fwrite(&v, 2, 1, f); };
    std::fwrite("RIFF", 1, 4, f);
    u32(36 + std::uint32_t(data.size()));
    std::fwrite("WAVEfmt ", 1, 8, f);
    u32(16), u16(1), u16(1), u32(rate), u32(rate * bits / 8), u16(bits / 8), u16(bits);
    std::fwrite("data", 1, 4, f);
    u32(std::uint32_t(data.size()));
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    return path;
}

std::vector<std::uint8_t> Pcm16(std::size_t samples, int seed) {
    std::vector<std::uint8_t> d(samples * 2);
    for (std::size_t i = 0; i < samples; ++i) {
        auto v = static_cast<std::int16_t>((seed * 1000 + int(i) * 13) % 20000);
        std::memcpy(&d[i * 2], &v, 2);
    }
    return d;
}

bool WaitFor(const std::function<bool()>& pred) {
    for (int i = 0; i < 4000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

class PlaySound : public ::testing::Test {
protected:
    void SetUp() override {
        vaudio::UseServerDevices(false);
        vaudio::RemoveVirtualDevices();
    }
    void TearDown() override {
        PlaySoundA(nullptr, nullptr, 0);
        vaudio::RemoveVirtualDevices();
    }
};

TEST_F(PlaySound, PlaysTheFileOnTheMapperAndConvertsTo16Bit) {
    unsigned dev = vaudio::AddVirtualOutput("Speaker");
    auto data = Pcm16(1000, 1);
    EXPECT_TRUE(PlaySoundA(WriteWav("s16.wav", data, 16).c_str(), nullptr, kFlags));
    ASSERT_TRUE(WaitFor([&] { return vaudio::VirtualOutputPlayed(dev).size() == data.size(); }));
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), data);

    // 8-bit unsigned comes out as 16-bit signed: 0x80 is silence, 0xFF near full scale.
    EXPECT_TRUE(PlaySoundA(WriteWav("u8.wav", {0x80, 0xFF, 0x00}, 8).c_str(), nullptr, kFlags));
    ASSERT_TRUE(WaitFor([&] { return vaudio::VirtualOutputPlayed(dev).size() == data.size() + 6; }));
    auto played = vaudio::VirtualOutputPlayed(dev);
    std::int16_t s[3];
    std::memcpy(s, played.data() + data.size(), 6);
    EXPECT_EQ(s[0], 0);
    EXPECT_GT(s[1], 32000);
    EXPECT_EQ(s[2], -32768);
    EXPECT_EQ(vaudio::VirtualOutputOpens(dev), 2);
}

TEST_F(PlaySound, MissingOrBrokenFilesPlayNothing) {
    unsigned dev = vaudio::AddVirtualOutput("Speaker");
    EXPECT_FALSE(PlaySoundA((::testing::TempDir() + "/no-such.wav").c_str(), nullptr, kFlags));
    std::string junk = ::testing::TempDir() + "/junk.wav";
    FILE* f = std::fopen(junk.c_str(), "wb");
    std::fputs("RIFF....WAVEnot really", f);
    std::fclose(f);
    EXPECT_FALSE(PlaySoundA(junk.c_str(), nullptr, kFlags));
    EXPECT_EQ(vaudio::VirtualOutputOpens(dev), 0);

    // No output device at all: nothing to play on.
    vaudio::RemoveVirtualDevices();
    EXPECT_FALSE(PlaySoundA(WriteWav("ok.wav", Pcm16(10, 2), 16).c_str(), nullptr, kFlags));
}

TEST_F(PlaySound, ANewSoundReplacesTheOneStillPlaying) {
    unsigned dev = vaudio::AddVirtualOutput("Speaker", {vaudio::OutputClock::RealTime});
    auto longSound = Pcm16(11025 * 5, 3);  // 5 s
    auto shortSound = Pcm16(500, 4);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(PlaySoundA(WriteWav("long.wav", longSound, 16).c_str(), nullptr, kFlags));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);  // returns at once, long before the sound ends
    ASSERT_TRUE(WaitFor([&] { return vaudio::VirtualOutputPlayed(dev).size() >= 2000; }));
    ASSERT_TRUE(PlaySoundA(WriteWav("short.wav", shortSound, 16).c_str(), nullptr, kFlags));
    ASSERT_TRUE(WaitFor([&] {
        auto p = vaudio::VirtualOutputPlayed(dev);
        return p.size() >= shortSound.size() &&
               std::equal(shortSound.begin(), shortSound.end(), p.end() - std::ptrdiff_t(shortSound.size()));
    }));
    auto played = vaudio::VirtualOutputPlayed(dev);
    EXPECT_LT(played.size(), longSound.size());
    EXPECT_TRUE(std::equal(played.begin(), played.end() - std::ptrdiff_t(shortSound.size()), longSound.begin()));

    // A null sound stops the one playing.
    ASSERT_TRUE(PlaySoundA(WriteWav("long.wav", longSound, 16).c_str(), nullptr, kFlags));
    EXPECT_TRUE(PlaySoundA(nullptr, nullptr, 0));
    auto n = vaudio::VirtualOutputPlayed(dev).size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev).size(), n);
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(dev));
}

TEST_F(PlaySound, TheProcessCanExitWhileASoundPlays) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto path = WriteWav("exit.wav", Pcm16(11025 * 5, 5), 16);
    EXPECT_EXIT(
        {
            vaudio::UseServerDevices(false);
            vaudio::AddVirtualOutput("Speaker", {vaudio::OutputClock::RealTime});
            if (!PlaySoundA(path.c_str(), nullptr, kFlags)) std::exit(3);
            std::this_thread::sleep_for(50ms);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
