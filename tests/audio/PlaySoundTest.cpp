// PlaySoundA on a virtual output through WAVE_MAPPER (the server's devices hidden).
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
    static bool Play(const std::string& path)
    {
        return PlaySoundA(path.c_str(), nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT);
    }
};

TEST_F(PlaySound, PlaysTheFileOnTheMapperAndConvertsTo16Bit)
{
    unsigned dev = vaudio::AddVirtualOutput("Speaker");
    auto data = AsBytes(Ramp(1000));
    EXPECT_TRUE(Play(WriteWav("s16.wav", data)));
    ASSERT_TRUE(WaitFor([&] { return vaudio::VirtualOutputPlayed(dev).size() == data.size(); }));
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), data);

    // 8-bit unsigned comes out as 16-bit signed: 0x80 is silence, 0xFF near full scale.
    EXPECT_TRUE(Play(WriteWav("u8.wav", {0x80, 0xFF, 0x00}, 8)));
    ASSERT_TRUE(WaitFor([&] { return vaudio::VirtualOutputPlayed(dev).size() == data.size() + 6; }));
    std::int16_t s[3];
    std::memcpy(s, vaudio::VirtualOutputPlayed(dev).data() + data.size(), 6);
    EXPECT_EQ(s[0], 0);
    EXPECT_GT(s[1], 32000);
    EXPECT_EQ(s[2], -32768);
    EXPECT_EQ(vaudio::VirtualOutputOpens(dev), 2);
}

TEST_F(PlaySound, MissingOrBrokenFilesPlayNothing)
{
    unsigned dev = vaudio::AddVirtualOutput("Speaker");
    EXPECT_FALSE(Play(::testing::TempDir() + "/no-such.wav"));
    std::string junk = ::testing::TempDir() + "/junk.wav";
    FILE* f = std::fopen(junk.c_str(), "wb");
    std::fputs("RIFF....WAVEnot really", f);
    std::fclose(f);
    EXPECT_FALSE(Play(junk));
    EXPECT_EQ(vaudio::VirtualOutputOpens(dev), 0);
    vaudio::RemoveVirtualDevices();  // no output device at all
    EXPECT_FALSE(Play(WriteWav("ok.wav", AsBytes(Ramp(10)))));
}

TEST_F(PlaySound, ANewSoundReplacesTheOneStillPlaying)
{
    unsigned dev = vaudio::AddVirtualOutput("Speaker", {vaudio::OutputClock::RealTime});
    auto played = [dev] { return vaudio::VirtualOutputPlayed(dev); };
    auto longSound = AsBytes(Ramp(11025 * 5, 3));  // 5 s
    auto shortSound = AsBytes(Ramp(500, 4));
    auto n = std::ptrdiff_t(shortSound.size());
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(Play(WriteWav("long.wav", longSound)));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);  // returns long before the sound ends
    ASSERT_TRUE(WaitFor([&] { return played().size() >= 2000; }));
    ASSERT_TRUE(Play(WriteWav("short.wav", shortSound)));
    ASSERT_TRUE(WaitFor([&] {
        auto p = played();
        return p.size() >= shortSound.size() && std::equal(shortSound.begin(), shortSound.end(), p.end() - n);
    }));
    auto p = played();
    EXPECT_LT(p.size(), longSound.size());
    EXPECT_TRUE(std::equal(p.begin(), p.end() - n, longSound.begin()));

    // A null sound stops the one playing.
    ASSERT_TRUE(Play(WriteWav("long.wav", longSound)));
    EXPECT_TRUE(PlaySoundA(nullptr, nullptr, 0));
    auto size = played().size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(played().size(), size);
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(dev));
}

TEST_F(PlaySound, TheProcessCanExitWhileASoundPlays)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto path = WriteWav("exit.wav", AsBytes(Ramp(11025 * 5, 5)));
    EXPECT_EXIT(
        {
            vaudio::UseServerDevices(false);
            vaudio::AddVirtualOutput("Speaker", {vaudio::OutputClock::RealTime});
            if (!Play(path))
                std::exit(3);
            std::this_thread::sleep_for(50ms);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
