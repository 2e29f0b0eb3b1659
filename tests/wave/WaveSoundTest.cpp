// Playback checked against the bytes a virtual device played, mixing, and copies.
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "WaveFiles.h"

using namespace wavetest;

namespace {

using WaveSound = WaveTest;

// Random Play/Pause/Stop/Load and device progress against a model of the flags
// and of every byte the device must have played.
TEST_F(WaveSound, RandomOperationSequencesFollowTheStateTable)
{
    const Bytes sound = Ramp(1000);
    const auto dev = static_cast<unsigned>(Output(OutputClock::Manual));
    const std::string path = Write(Canonical(sound), "sound.wav");
    CWave wave, other;
    Fill(other, sound);
    wave.SetDevice(static_cast<int>(dev));
    ASSERT_EQ(wave.Load(path.c_str()), 1);
    bool stopped = true, paused = false, queued = false;
    std::size_t pos = 0;
    Bytes played;
    std::mt19937 rng(12);
    for (int step = 0; step < 600; ++step) {
        const unsigned op = rng() % 5;
        SCOPED_TRACE(testing::Message() << "step " << step << " op " << op);
        if (op == 0) {
            EXPECT_EQ(wave.Play(), 1);
            if (stopped) {  // queued anew, also when stopped while paused
                queued = true, pos = 0;
            }
            stopped = paused = false;
        } else if (op == 1) {
            EXPECT_EQ(wave.Pause(), 1);
            paused = paused || !stopped;
        } else if (op == 2) {
            EXPECT_EQ(wave.Stop(), 1);
            stopped = true, queued = false;
        } else if (op == 3) {
            const std::size_t n = rng() % 400, take = queued && !paused ? std::min(n, sound.size() - pos) : 0;
            vaudio::AdvanceVirtualOutput(dev, n);
            played.insert(played.end(), sound.begin() + long(pos), sound.begin() + long(pos + take));
            pos += take;
            queued = queued && pos < sound.size();  // played to its end, yet still Playing
        } else {
            EXPECT_EQ(wave.Load(path.c_str()), 1);  // closes the device and opens it again
            stopped = true, paused = queued = false;
        }
        EXPECT_EQ(wave.IsPlaying(), !stopped && !paused);
        EXPECT_EQ(wave.IsPaused(), paused);
        EXPECT_EQ(wave.IsStopped(), stopped);
        EXPECT_EQ(other.Mix(wave), stopped ? 1 : 0);  // only stopped sounds mix
        EXPECT_TRUE(stopped || wave.Mix(other) == 0);
        ASSERT_EQ(vaudio::VirtualOutputPlayed(dev), played);
    }
}

TEST_F(WaveSound, WithoutSamplesNothingPlaysAndDestructionStopsPlayback)
{
    const int dev = Output(OutputClock::RealTime);
    auto w = std::make_unique<CWave>();
    w->SetDevice(dev);
    ASSERT_EQ(w->Load(Write(File({{"LIST", Ramp(8)}})).c_str()), 1);
    EXPECT_TRUE(w->IsValid() == 0 && vaudio::VirtualOutputIsOpen(dev));
    EXPECT_TRUE(w->Play() == 1 && w->Pause() == 1 && w->Stop() == 1);
    EXPECT_TRUE(w->IsStopped() == 1 && w->IsPlaying() == 0 && w->IsPaused() == 0);
    EXPECT_TRUE(vaudio::VirtualOutputPlayed(dev).empty());
    const std::string path = Write(Canonical(Ramp(2205)));  // 0.1 s
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(w->Load(path.c_str()), 1);  // replaces the sound playing
        ASSERT_EQ(w->Play(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 30));
    }
    w.reset();
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(dev));
}

// Copies own their samples and open the device the source has open, whatever SetDevice said since.
TEST_F(WaveSound, DeviceChangesAtTheNextLoadAndCopiesOwnWhatTheyHold)
{
    const Bytes sound = Ramp(1000);
    const auto first = static_cast<unsigned>(Output()), second = static_cast<unsigned>(Output());
    CWave wave, assigned, noDevice;
    wave.SetDevice(static_cast<int>(first));
    ASSERT_EQ(wave.Load(Write(Canonical(sound, {1, 2, 8000, 16})).c_str()), 1);
    wave.SetDevice(static_cast<int>(second));
    ASSERT_EQ(wave.Play(), 1);
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(second));
    {
        CWave copy(wave);
        EXPECT_TRUE(copy.IsStopped() == 1 && copy.GetChannels() == 2 && copy.GetSampleRate() == 8000u);
        copy.GetData()[0] = 99;
        ASSERT_EQ(copy.Play(), 1);
        Bytes twice = sound;
        twice.insert(twice.end(), sound.begin(), sound.end());
        EXPECT_EQ(vaudio::VirtualOutputPlayed(first), Put(twice, 99, 1, 1000));
        ASSERT_EQ(copy.Load(Path("in.wav").c_str()), 1);  // the copy's next Load goes where SetDevice said
        EXPECT_TRUE(vaudio::VirtualOutputIsOpen(second));
    }
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(second));
    ASSERT_EQ(wave.Load(Path("in.wav").c_str()), 1);  // while "playing": stopped and moved
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(first));
    ASSERT_EQ(wave.Play(), 1);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(second), sound);

    assigned.SetDevice(static_cast<int>(first));
    assigned.Load(Path("in.wav").c_str());
    ASSERT_TRUE(assigned.Play() == 1 && assigned.Pause() == 1);
    assigned = wave;
    EXPECT_TRUE(assigned.IsStopped() == 1 && assigned.IsPaused() == 0 && !vaudio::VirtualOutputIsOpen(first));
    EXPECT_EQ(Held(assigned), sound);
    EXPECT_EQ(assigned.Mix(wave), 0);  // the source still plays
    assigned = assigned;
    EXPECT_EQ(Held(assigned), sound);
    EXPECT_EQ(vaudio::VirtualOutputOpens(second), 3);  // self-assignment opened nothing
    Fill(noDevice, Ramp(10));
    EXPECT_EQ(CWave(noDevice).Play(), 0);  // the source has no device open, so neither has the copy
    assigned = CWave();
    EXPECT_TRUE(assigned.IsValid() == 0 && assigned.GetSize() == 0u && assigned.IsStopped() == 1);
}

TEST_F(WaveSound, MixAveragesBoostsOrPicksTheLouderOverTheShorterLengthAndRefusesMismatches)
{
    const Format eight{1, 1, 8000, 8}, stereo{1, 2, 11025, 16}, slow{1, 1, 8000, 16};
    const Bytes some = Words({1000, 2000});
    const struct {
        Bytes other, self, mixed;
        Format format = {}, otherFormat = {};
        int result = 1;
    } cases[] = {
        // The 16638/16126 pairs lie just above 0.25 in exact arithmetic but round to it
        // in single precision, so they are not summed.
        {Words({1000, 100, -30000, 16383, 16384, -20000, 16638, 16126, 0, -1}),
         Words({2000, -200, 100, 16384, 16384, 20000, 16126, 16638, 0, 1}),
         Words({3000, -100, -30000, 32767, 16384, 20000, 16638, 16638, 0, 0})},
        {{128, 255, 197, 0, 100, 196}, {128, 255, 197, 0, 50, 196}, {166, 255, 255, 0, 97, 255}, eight, eight},
        {{1, 2, 3}, {10, 20, 30, 40}, {6, 14, 20, 40}, eight, eight},
        {Words({100, 100, 100}), Words({50, 50, 50, 50, 50}), Words({150, 150, 150, 50, 50})},
        {Words({100, 100, 100, 100, 7}), Words({50, 50, 50}), Words({150, 150, 150})},
        {Words({100, 100, 100}), {50, 0, 50, 0, 9}, {150, 0, 150, 0, 9}},  // odd byte count
        {Ramp(12, 40), Ramp(12), Ramp(12), {1, 1, 8000, 24}, {1, 1, 8000, 24}},
        {Ramp(12, 40), Ramp(12), Ramp(12), {1, 1, 8000, 4}, {1, 1, 8000, 4}},
        {Ramp(12, 40), Ramp(12), Ramp(12), {1, 1, 8000, 1}, {1, 1, 8000, 1}},
        {some, some, some, {}, stereo, 0},
        {some, some, some, {}, slow, 0},
        {some, some, some, {}, eight, 0},
        {{}, some, some, {}, {}, 0},
        {some, {}, {}, {}, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.format.bits << " bits, " << c.self.size() << " bytes");
        CWave other, self;
        Fill(other, c.other, c.otherFormat);
        Fill(self, c.self, c.format);
        ASSERT_EQ(self.Mix(other), c.result);
        EXPECT_EQ(Held(self), c.mixed);
        EXPECT_EQ(Held(other), c.other);
        EXPECT_TRUE(c.result || other.Mix(self) == 0);
    }
    // Into itself: 8 bits average and boost; 16 bits double only quiet samples.
    const std::pair<Format, std::pair<Bytes, Bytes>> selves[] = {
        {eight, {{10, 100, 150, 200}, {13, 130, 195, 255}}},
        {{}, {Words({1000, -1000, 16383, 16384, 20000, -32768}), Words({2000, -2000, 32766, 16384, 20000, -32768})}}};
    for (const auto& [format, values] : selves) {
        CWave w;
        Fill(w, values.first, format);
        ASSERT_EQ(w.Mix(w), 1);
        EXPECT_EQ(Held(w), values.second);
    }
}

}  // namespace
