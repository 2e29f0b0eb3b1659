// Mixing one sound into another, and copies that own what they hold.
#include <cmath>
#include <initializer_list>
#include <utility>

#include "CWave.h"
#include "WaveFiles.h"

using namespace wavetest;

namespace {

Bytes Words(std::initializer_list<int> samples) {
    Bytes b;
    for (int s : samples) Put16(b, static_cast<std::uint16_t>(s));
    return b;
}

int WordAt(CWave& w, std::size_t i) {
    return static_cast<std::int16_t>(w.GetData()[2 * i] | w.GetData()[2 * i + 1] << 8);
}

class WaveMix : public VirtualDevices {
protected:
    // Sounds for mixing need no device: theirs fails to open and they stay Stopped.
    void SetUp() override {
        VirtualDevices::SetUp();
        noDevice = static_cast<int>(Output(vaudio::OutputClock::Instant, true));
    }
    void Fill(CWave& w, const Bytes& samples, Format f = {}) {
        w.SetDevice(noDevice);
        w.Load(dir.Write("s" + std::to_string(files++) + ".wav", Canonical(samples, f)).c_str());
        ASSERT_EQ(w.GetSize(), samples.size());
    }
    static Bytes Held(CWave& w) { return Bytes(w.GetData(), w.GetData() + w.GetSize()); }
    int noDevice = 0;
    int files = 0;
};

TEST_F(WaveMix, SixteenBitWorkedValues) {
    // (other, this) -> result; the last pairs lie just above 0.25 in exact
    // arithmetic but round to it in single precision, so they are not summed.
    const std::pair<int, int> pairs[] = {{1000, 2000},   {100, -200},    {-30000, 100},  {16383, 16384},
                                         {16384, 16384}, {-20000, 20000}, {16638, 16126}, {16126, 16638},
                                         {0, 0},         {-1, 1}};
    const int expected[] = {3000, -100, -30000, 32767, 16384, 20000, 16638, 16638, 0, 0};
    CWave other, self;
    Bytes os, ds;
    for (auto [o, d] : pairs) {
        Put16(os, static_cast<std::uint16_t>(o));
        Put16(ds, static_cast<std::uint16_t>(d));
    }
    Fill(other, os);
    Fill(self, ds);
    ASSERT_EQ(self.Mix(other), 1);
    for (std::size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(WordAt(self, i), expected[i]) << "pair " << i;
    EXPECT_EQ(Held(other), os);
}

TEST_F(WaveMix, EightBitAveragesBoostsAndSaturates) {
    const Format eight{1, 1, 8000, 8};
    CWave other, self;
    Fill(other, {128, 255, 197, 0, 100, 196});
    Fill(self, {128, 255, 197, 0, 50, 196}, eight);  // format differs: refused first
    EXPECT_EQ(self.Mix(other), 0);
    Fill(other, {128, 255, 197, 0, 100, 196}, eight);
    ASSERT_EQ(self.Mix(other), 1);
    EXPECT_EQ(Held(self), (Bytes{166, 255, 255, 0, 97, 255}));

    CWave alone;
    Fill(alone, {10, 100, 150, 200}, eight);
    ASSERT_EQ(alone.Mix(alone), 1);
    EXPECT_EQ(Held(alone), (Bytes{13, 130, 195, 255}));
}

TEST_F(WaveMix, OnlyTheShorterLengthIsMixed) {
    Bytes thousand, six;
    for (int i = 0; i < 500; ++i) Put16(thousand, 100);
    for (int i = 0; i < 300; ++i) Put16(six, 50);
    for (bool longReceives : {true, false}) {
        SCOPED_TRACE(longReceives);
        CWave a, b;
        Fill(a, longReceives ? thousand : six);
        Fill(b, longReceives ? six : thousand);
        ASSERT_EQ(a.Mix(b), 1);
        const std::size_t n = a.GetSize() / 2;
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(WordAt(a, i), i < 300 ? 150 : 100) << i;
        EXPECT_EQ(b.GetSize(), longReceives ? 600u : 1000u);
        EXPECT_EQ(WordAt(b, 0), longReceives ? 50 : 100);
    }
}

TEST_F(WaveMix, SixteenBitSelfMixDoublesOnlyQuietSamples) {
    CWave w;
    Fill(w, Words({1000, -1000, 16383, 16384, 20000, -32768}));
    ASSERT_EQ(w.Mix(w), 1);
    EXPECT_EQ(Held(w), Words({2000, -2000, 32766, 16384, 20000, -32768}));
}

TEST_F(WaveMix, UnsupportedDepthsMixNothing) {
    for (std::uint16_t bits : {24, 32, 4, 1}) {
        SCOPED_TRACE(bits);
        CWave a, b;
        Fill(a, Ramp(12), {1, 1, 8000, bits});
        Fill(b, Ramp(12, 40), {1, 1, 8000, bits});
        EXPECT_EQ(a.Mix(b), 1);
        EXPECT_EQ(Held(a), Ramp(12));
    }
}

TEST_F(WaveMix, RefusalsChangeNothing) {
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

TEST_F(WaveMix, CopiesOwnTheirSamples) {
    CWave a;
    Fill(a, Words({1, 2, 3}), {1, 2, 8000, 16});
    CWave copy(a);
    ASSERT_NE(copy.GetData(), a.GetData());
    EXPECT_EQ(Held(copy), Held(a));
    EXPECT_EQ(copy.GetChannels(), 2);
    EXPECT_EQ(copy.GetSampleRate(), 8000u);
    copy.GetData()[0] = 99;
    EXPECT_EQ(a.GetData()[0], 1);

    CWave assigned;
    Fill(assigned, Words({7}));
    assigned = a;
    ASSERT_NE(assigned.GetData(), a.GetData());
    EXPECT_EQ(Held(assigned), Held(a));
    assigned = assigned;
    EXPECT_EQ(Held(assigned), Held(a));
    CWave empty;
    assigned = empty;
    EXPECT_EQ(assigned.IsValid(), 0);
    EXPECT_EQ(assigned.GetSize(), 0u);
}

}  // namespace
