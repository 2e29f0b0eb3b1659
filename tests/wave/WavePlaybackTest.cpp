// The playback state table, checked against the bytes a virtual device played.
#include <chrono>
#include <thread>

#include "WaveFiles.h"

using namespace wavetest;

namespace {

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}
Bytes Prefix(const Bytes& b, std::size_t n)
{
    return Bytes(b.begin(), b.begin() + static_cast<long>(n));
}

class WavePlayback : public WaveTest {
protected:
    // Loads the sound on a new device with this clock and returns the device.
    unsigned LoadOn(OutputClock clock)
    {
        const int device = Output(clock);
        wave.SetDevice(device);
        EXPECT_EQ(wave.Load(Write(Canonical(sound)).c_str()), 1);
        return static_cast<unsigned>(device);
    }
    void ExpectState(int playing, int paused, int stopped)
    {
        EXPECT_EQ(wave.IsPlaying(), playing);
        EXPECT_EQ(wave.IsPaused(), paused);
        EXPECT_EQ(wave.IsStopped(), stopped);
    }
    const Bytes sound = Ramp(1000);
    CWave wave;
};

TEST_F(WavePlayback, PauseResumesAtTheKeptPositionAndStopRewinds)
{
    const unsigned dev = LoadOn(OutputClock::Manual);
    ExpectState(0, 0, 1);
    ASSERT_EQ(wave.Play(), 1);
    ExpectState(1, 0, 0);
    vaudio::AdvanceVirtualOutput(dev, 300);
    ASSERT_EQ(wave.Pause(), 1);
    ExpectState(0, 1, 0);
    EXPECT_EQ(wave.Pause(), 1);  // already paused: nothing
    vaudio::AdvanceVirtualOutput(dev, 200);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Prefix(sound, 300));

    ASSERT_EQ(wave.Play(), 1);  // resume, not a second queueing
    ExpectState(1, 0, 0);
    EXPECT_EQ(wave.Play(), 1);  // playing: nothing
    vaudio::AdvanceVirtualOutput(dev, 300);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Prefix(sound, 600));

    ASSERT_EQ(wave.Stop(), 1);
    ExpectState(0, 0, 1);
    EXPECT_EQ(wave.Stop(), 1);
    vaudio::AdvanceVirtualOutput(dev, 100);
    ASSERT_EQ(wave.Play(), 1);  // after Stop: from the beginning
    vaudio::AdvanceVirtualOutput(dev, 100);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Concat({Prefix(sound, 600), Prefix(sound, 100)}));
}

TEST_F(WavePlayback, PlayAfterStopWhilePausedQueuesTheSoundAnew)
{
    const unsigned dev = LoadOn(OutputClock::Manual);
    ASSERT_EQ(wave.Play(), 1);
    vaudio::AdvanceVirtualOutput(dev, 250);
    ASSERT_EQ(wave.Pause(), 1);
    ASSERT_EQ(wave.Stop(), 1);
    ExpectState(0, 1, 1);
    EXPECT_EQ(wave.Pause(), 1);
    ExpectState(0, 1, 1);
    ASSERT_EQ(wave.Play(), 1);
    ExpectState(1, 0, 0);
    vaudio::AdvanceVirtualOutput(dev, 2000);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Concat({Prefix(sound, 250), sound}));
}

TEST_F(WavePlayback, SoundPlayedToItsEndStaysPlayingUntilStopped)
{
    const unsigned dev = LoadOn(OutputClock::Manual);
    ASSERT_EQ(wave.Play(), 1);
    vaudio::AdvanceVirtualOutput(dev, 5000);
    ExpectState(1, 0, 0);
    EXPECT_EQ(wave.Play(), 1);  // still "playing": nothing queued
    vaudio::AdvanceVirtualOutput(dev, 5000);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), sound);
    ASSERT_EQ(wave.Stop(), 1);
    ASSERT_EQ(wave.Play(), 1);
    vaudio::AdvanceVirtualOutput(dev, 5000);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Concat({sound, sound}));
}

TEST_F(WavePlayback, WithoutSamplesNothingPlays)
{
    const int dev = Output();
    wave.SetDevice(dev);
    ASSERT_EQ(wave.Load(Write(File({{"LIST", Ramp(8)}})).c_str()), 1);
    EXPECT_EQ(wave.IsValid(), 0);
    EXPECT_TRUE(vaudio::VirtualOutputIsOpen(dev));
    EXPECT_TRUE(wave.Play() == 1 && wave.Pause() == 1 && wave.Stop() == 1);
    ExpectState(0, 0, 1);
    EXPECT_TRUE(vaudio::VirtualOutputPlayed(dev).empty());
}

TEST_F(WavePlayback, DeviceChangesAtTheNextLoadAndCopiesOpenTheirOwn)
{
    const unsigned first = LoadOn(OutputClock::Instant), second = static_cast<unsigned>(Output());
    wave.SetDevice(static_cast<int>(second));
    ASSERT_EQ(wave.Play(), 1);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(first), sound);
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(second));

    ASSERT_EQ(wave.Load(Path("in.wav").c_str()), 1);  // while "playing": stopped and moved
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(first));
    EXPECT_TRUE(vaudio::VirtualOutputIsOpen(second));
    ExpectState(0, 0, 1);
    {
        CWave copy(wave);  // a device of its own, same number and format
        EXPECT_EQ(vaudio::VirtualOutputOpens(second), 2);
        ASSERT_EQ(copy.Play(), 1);
        ExpectState(0, 0, 1);
    }
    EXPECT_EQ(vaudio::VirtualOutputPlayed(second), sound);
    EXPECT_TRUE(vaudio::VirtualOutputIsOpen(second));  // the original's is still open
    ASSERT_EQ(wave.Play(), 1);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(second), Concat({sound, sound}));
    CWave assigned;
    assigned = wave;
    EXPECT_TRUE(assigned.IsStopped() == 1 && assigned.IsPlaying() == 0) << "a copy of a playing sound is stopped";
    EXPECT_EQ(assigned.Mix(wave), 0);  // the source still plays
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(wave.Stop() == 1 && wave.Play() == 1);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(second).size(), 22 * sound.size());
}

TEST_F(WavePlayback, DestroyedWhilePlayingInRealTime)
{
    const int dev = Output(OutputClock::RealTime);
    Write(Canonical(Ramp(2205)));  // 0.1 s
    for (int i = 0; i < 5; ++i) {
        CWave w;
        w.SetDevice(dev);
        ASSERT_EQ(w.Load(Path("in.wav").c_str()), 1);
        ASSERT_EQ(w.Play(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 30));
    }
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(dev));
}

}  // namespace
