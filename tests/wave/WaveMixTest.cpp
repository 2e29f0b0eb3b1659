// Mixing one sound into another, and copies that own what they hold.
#include <utility>

#include "WaveFiles.h"

using namespace wavetest;

namespace {

class WaveMix : public WaveTest {
protected:
    // Sounds for mixing need no device: theirs fails to open and they stay Stopped.
    void Fill(CWave& w, const Bytes& samples, Format f = {})
    {
        w.SetDevice(Output(OutputClock::Instant, true));
        w.Load(Write(Canonical(samples, f)).c_str());
        ASSERT_EQ(w.GetSize(), samples.size());
    }
};

TEST_F(WaveMix, WorkedValuesAverageBoostAndSaturate)
{
    const Format eight{1, 1, 8000, 8};
    const struct {
        Format format;
        Bytes other, self, mixed;
    } cases[] = {
        // The 16638/16126 pairs lie just above 0.25 in exact arithmetic but round to it
        // in single precision, so they are not summed.
        {{},
         Words({1000, 100, -30000, 16383, 16384, -20000, 16638, 16126, 0, -1}),
         Words({2000, -200, 100, 16384, 16384, 20000, 16126, 16638, 0, 1}),
         Words({3000, -100, -30000, 32767, 16384, 20000, 16638, 16638, 0, 0})},
        {eight, {128, 255, 197, 0, 100, 196}, {128, 255, 197, 0, 50, 196}, {166, 255, 255, 0, 97, 255}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format.bits);
        CWave other, self;
        Fill(other, c.other, c.format);
        Fill(self, c.self, c.format);
        ASSERT_EQ(self.Mix(other), 1);
        EXPECT_EQ(Held(self), c.mixed);
        EXPECT_EQ(Held(other), c.other);
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

TEST_F(WaveMix, OnlyTheShorterLengthIsMixed)
{
    Bytes thousand, six;
    for (int i = 0; i < 500; ++i)
        Put(thousand, 100, 2);
    for (int i = 0; i < 300; ++i)
        Put(six, 50, 2);
    for (bool longReceives : {true, false}) {
        SCOPED_TRACE(longReceives);
        CWave a, b;
        Fill(a, longReceives ? thousand : six);
        Fill(b, longReceives ? six : thousand);
        ASSERT_EQ(a.Mix(b), 1);
        Bytes mixed;
        for (std::size_t i = 0; i < a.GetSize() / 2; ++i)
            Put(mixed, i < 300 ? 150 : 100, 2);
        EXPECT_EQ(Held(a), mixed);
        EXPECT_EQ(Held(b), longReceives ? six : thousand);
    }
}

TEST_F(WaveMix, RefusalsAndUnsupportedDepthsChangeNothing)
{
    for (std::uint16_t bits : {24, 32, 4, 1}) {
        SCOPED_TRACE(bits);
        CWave a, b;
        Fill(a, Ramp(12), {1, 1, 8000, bits});
        Fill(b, Ramp(12, 40), {1, 1, 8000, bits});
        EXPECT_EQ(a.Mix(b), 1);
        EXPECT_EQ(Held(a), Ramp(12));
    }
    CWave a, b, empty;
    Fill(a, Words({1000, 2000}));
    Fill(b, Words({10, 20}));
    EXPECT_EQ(a.Mix(empty), 0);
    EXPECT_EQ(empty.Mix(a), 0);
    for (Format f : {Format{1, 2, 11025, 16}, Format{1, 1, 8000, 16}, Format{1, 1, 11025, 8}}) {
        CWave other;
        Fill(other, Words({10, 20}), f);
        EXPECT_EQ(a.Mix(other), 0);
        EXPECT_EQ(other.Mix(a), 0);
    }
    // Without a device Play reports failure, yet the flags say Playing: refused.
    EXPECT_EQ(b.Play(), 0);
    EXPECT_EQ(a.Mix(b), 0);
    EXPECT_EQ(b.Pause(), 0);
    EXPECT_EQ(b.IsPaused(), 1);
    EXPECT_EQ(a.Mix(b), 0);
    EXPECT_EQ(b.Mix(a), 0);
    EXPECT_EQ(Held(a), Words({1000, 2000}));
    b.Stop();  // stopped while paused: mixable again
    EXPECT_EQ(a.Mix(b), 1);
    EXPECT_EQ(Held(a), Words({1010, 2020}));
}

TEST_F(WaveMix, CopiesOwnTheirSamples)
{
    CWave a;
    Fill(a, Words({1, 2, 3}), {1, 2, 8000, 16});
    CWave copy(a), assigned, empty;
    ASSERT_NE(copy.GetData(), a.GetData());
    EXPECT_EQ(Held(copy), Held(a));
    EXPECT_EQ(copy.GetChannels(), 2);
    EXPECT_EQ(copy.GetSampleRate(), 8000u);
    copy.GetData()[0] = 99;
    EXPECT_EQ(a.GetData()[0], 1);
    Fill(assigned, Words({7}));
    assigned = a;
    ASSERT_NE(assigned.GetData(), a.GetData());
    EXPECT_EQ(Held(assigned), Held(a));
    assigned = assigned;
    EXPECT_EQ(Held(assigned), Held(a));
    assigned = empty;
    EXPECT_EQ(assigned.IsValid(), 0);
    EXPECT_EQ(assigned.GetSize(), 0u);
}

}  // namespace
