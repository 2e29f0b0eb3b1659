// PlaySoundA on a virtual output through WAVE_MAPPER (the server's devices hidden).
#include <filesystem>

#include "TestSupport.h"

using namespace audiotest;

namespace {

class PlaySound : public Virtual {
protected:
    void TearDown() override
    {
        PlaySoundA(nullptr, nullptr, 0);
        Virtual::TearDown();
    }
    static BOOL Play(const std::string& path, DWORD flags = SND_ASYNC)
    {
        return PlaySoundA(path.c_str(), nullptr, SND_FILENAME | SND_NODEFAULT | flags);
    }
    static long OpenFiles() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }
};

// One frame of 16-bit sound in `channels` channels: a mono file with the channel count changed.
std::string WideWav(const std::string& name, std::uint16_t channels)
{
    const std::string path = WriteWav(name, AsBytes(Ramp(channels)));
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(22).write(reinterpret_cast<char*>(&channels), 2);
    return path;
}

// Missing, broken or unsupported sounds play nothing. A synchronous call returns once the
// sound has played and the device is closed; 8-bit becomes 16-bit; up to 32 channels play.
TEST_F(PlaySound, PlaysTheFileToItsEndAndLeavesNothingOpen)
{
    unsigned dev = vaudio::AddVirtualOutput("Speaker", {vaudio::OutputClock::RealTime});
    const auto data = AsBytes(Ramp(1000));
    const std::string s16 = WriteWav("s16.wav", data), u8 = WriteWav("u8.wav", {0x80, 0xFF, 0x00}, 8);
    EXPECT_FALSE(Play(::testing::TempDir() + "/no-such.wav"));
    EXPECT_FALSE(Play(WriteWav("junk.wav", {})));               // no samples
    EXPECT_FALSE(PlaySoundA(s16.c_str(), nullptr, SND_ASYNC));  // not a file name: a resource or alias
    EXPECT_EQ(vaudio::VirtualOutputOpens(dev), 0);
    const long files = OpenFiles();
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(Play(s16, SND_SYNC) == 1 && !vaudio::VirtualOutputIsOpen(dev));
    EXPECT_EQ(OpenFiles(), files);
    ASSERT_TRUE(Play(u8, SND_SYNC));
    auto played = vaudio::VirtualOutputPlayed(dev);
    ASSERT_EQ(played.size(), 3 * data.size() + 6);
    EXPECT_EQ(Bytes(played.begin(), played.begin() + long(data.size())), data);
    EXPECT_EQ(Bytes(played.end() - 6, played.end()), AsBytes({0, 127 << 8, -32768}));
    EXPECT_FALSE(Play(WideWav("c33.wav", 33), SND_SYNC));
    ASSERT_TRUE(Play(WideWav("c32.wav", 32), SND_SYNC));
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev).size(), played.size() + 64);
    vaudio::RemoveVirtualDevices();  // no output device at all
    EXPECT_FALSE(Play(s16));
}

// A new sound, or none, stops the one playing; a synchronous caller then returns early.
TEST_F(PlaySound, ANewSoundReplacesTheOneStillPlaying)
{
    unsigned dev = vaudio::AddVirtualOutput("Speaker", {vaudio::OutputClock::RealTime});
    auto played = [dev] { return vaudio::VirtualOutputPlayed(dev); };
    const auto longSound = AsBytes(Ramp(11025 * 5, 3)), shortSound = AsBytes(Ramp(500, 4));
    const std::string longPath = WriteWav("long.wav", longSound);
    ASSERT_EQ(Play(longPath), 1);
    ASSERT_TRUE(WaitFor([&] { return played().size() >= 2000; }));
    ASSERT_TRUE(Play(WriteWav("short.wav", shortSound), SND_SYNC));
    const auto p = played();
    const auto n = std::ptrdiff_t(p.size()) - std::ptrdiff_t(shortSound.size());  // where the short one starts
    ASSERT_TRUE(n >= 2000 && n < std::ptrdiff_t(longSound.size()));
    EXPECT_TRUE(std::equal(p.begin(), p.begin() + n, longSound.begin()) && Bytes(p.begin() + n, p.end()) == shortSound);

    bool result = false;
    std::thread sync([&] { result = Play(longPath, SND_SYNC) == 1; });
    ASSERT_TRUE(WaitFor([&] { return played().size() >= p.size() + 2000; }));
    EXPECT_EQ(PlaySoundA(nullptr, nullptr, 0), 1);
    sync.join();
    EXPECT_TRUE(result && played().size() < p.size() + longSound.size() && !vaudio::VirtualOutputIsOpen(dev));
}

}  // namespace
