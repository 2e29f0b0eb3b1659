// The playback state table, checked against the bytes a virtual device played.
#include <chrono>
#include <thread>

#include "CWave.h"
#include "WaveFiles.h"

using namespace wavetest;
using vaudio::OutputClock;

namespace {

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
Bytes Prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<long>(n)); }

class WavePlayback : public VirtualDevices {
protected:
    void LoadOn(unsigned device) {
        wave.SetDevice(static_cast<int>(device));
        ASSERT_EQ(wave.Load(dir.Write("s.wav", Canonical(sound)).c_str()), 1);
    }
    void ExpectState(int playing, int paused, int stopped) {
        EXPECT_EQ(wave.IsPlaying(), playing);
        EXPECT_EQ(wave.IsPaused(), paused);
        EXPECT_EQ(wave.IsStopped(), stopped);
    }
    const Bytes sound = Ramp(1000);
    CWave wave;
};

TEST_F(WavePlayback, PauseResumesAtTheKeptPositionAndStopRewinds) {
    const unsigned dev = Output(OutputClock::Manual);
    LoadOn(dev);
    ExpectState(0, 0, 1);
    ASSERT_EQ(wave.Play(), 1);
    ExpectState(1, 0, 0);
    vaudio::AdvanceVirtualOutput(dev, 300);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Prefix(sound, 300));

    ASSERT_EQ(wave.Pause(), 1);
    ExpectState(0, 1, 0);
    EXPECT_EQ(wave.Pause(), 1);  // already paused: nothing
    vaudio::AdvanceVirtualOutput(dev, 200);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev).size(), 300u);

    ASSERT_EQ(wave.Play(), 1);  // resume, not a second queueing
    ExpectState(1, 0, 0);
    EXPECT_EQ(wave.Play(), 1);  // playing: nothing
    vaudio::AdvanceVirtualOutput(dev, 300);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Prefix(sound, 600));

    ASSERT_EQ(wave.Stop(), 1);
    ExpectState(0, 0, 1);
    EXPECT_EQ(wave.Stop(), 1);
    vaudio::AdvanceVirtualOutput(dev, 100);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev).size(), 600u);

    ASSERT_EQ(wave.Play(), 1);  // after Stop: from the beginning
    vaudio::AdvanceVirtualOutput(dev, 100);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Concat({Prefix(sound, 600), Prefix(sound, 100)}));
}

TEST_F(WavePlayback, PlayAfterStopWhilePausedQueuesTheSoundAnew) {
    const unsigned dev = Output(OutputClock::Manual);
    LoadOn(dev);
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

TEST_F(WavePlayback, SoundPlayedToItsEndStaysPlayingUntilStopped) {
    const unsigned dev = Output(OutputClock::Manual);
    LoadOn(dev);
    ASSERT_EQ(wave.Play(), 1);
    vaudio::AdvanceVirtualOutput(dev, 5000);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), sound);
    ExpectState(1, 0, 0);
    EXPECT_EQ(wave.Play(), 1);  // still "playing": nothing queued
    vaudio::AdvanceVirtualOutput(dev, 5000);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev).size(), sound.size());

    ASSERT_EQ(wave.Stop(), 1);
    ASSERT_EQ(wave.Play(), 1);
    vaudio::AdvanceVirtualOutput(dev, 5000);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Concat({sound, sound}));
}

TEST_F(WavePlayback, RepeatedCyclesOnAnInstantDevice) {
    const unsigned dev = Output(OutputClock::Instant);
    LoadOn(dev);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(wave.Play(), 1);
        ASSERT_EQ(wave.Stop(), 1);
    }
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev).size(), 20 * sound.size());
}

TEST_F(WavePlayback, WithoutSamplesNothingChanges) {
    const unsigned dev = Output(OutputClock::Instant);
    wave.SetDevice(static_cast<int>(dev));
    Bytes noData = Header();
    PutChunk(noData, "LIST", Ramp(8));
    ASSERT_EQ(wave.Load(dir.Write("n.wav", Finish(noData)).c_str()), 1);
    EXPECT_EQ(wave.IsValid(), 0);
    EXPECT_TRUE(vaudio::VirtualOutputIsOpen(dev));
    EXPECT_EQ(wave.Play(), 1);
    EXPECT_EQ(wave.Pause(), 1);
    EXPECT_EQ(wave.Stop(), 1);
    ExpectState(0, 0, 1);
    EXPECT_TRUE(vaudio::VirtualOutputPlayed(dev).empty());
}

TEST_F(WavePlayback, DeviceChangesAtTheNextLoadAndClosesWithTheSound) {
    const unsigned first = Output(OutputClock::Instant);
    const unsigned second = Output(OutputClock::Instant);
    LoadOn(first);
    wave.SetDevice(static_cast<int>(second));
    ASSERT_EQ(wave.Play(), 1);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(first), sound);
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(second));

    ASSERT_EQ(wave.Load(dir.File("s.wav").c_str()), 1);  // while "playing": stopped and moved
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
}

TEST_F(WavePlayback, CopyOfAPlayingSoundStartsStopped) {
    const unsigned dev = Output(OutputClock::Manual);
    LoadOn(dev);
    ASSERT_EQ(wave.Play(), 1);
    vaudio::AdvanceVirtualOutput(dev, 100);
    CWave copy;
    copy = wave;
    EXPECT_EQ(copy.IsStopped(), 1);
    EXPECT_EQ(copy.IsPlaying(), 0);
    ExpectState(1, 0, 0);
    EXPECT_EQ(copy.Mix(wave), 0);  // the source still plays
}

TEST_F(WavePlayback, DestroyedWhilePlayingInRealTime) {
    const unsigned dev = Output(OutputClock::RealTime);
    for (int i = 0; i < 5; ++i) {
        CWave w;
        w.SetDevice(static_cast<int>(dev));
        ASSERT_EQ(w.Load(dir.Write("rt.wav", Canonical(Ramp(2205))).c_str()), 1);  // 0.1 s
        ASSERT_EQ(w.Play(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 30));
    }
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(dev));
}

}  // namespace
