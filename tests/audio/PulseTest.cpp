// Against the headless PulseAudio server of the test fixture: what is played into
// the sink "DTMF-Test-Sink" through waveOut* comes back from its monitor through waveIn*.
#include <atomic>
#include <cmath>
#include <random>

#include "TestSupport.h"

using namespace audiotest;
using Clock = std::chrono::steady_clock;

namespace {

template <class Caps, class GetCaps>
int Find(const std::string& name, unsigned count, GetCaps getCaps) {
    for (unsigned i = 0; i < count; ++i) {
        Caps caps{};
        if (getCaps(i, &caps, sizeof caps) == MMSYSERR_NOERROR && name == caps.szPname) return int(i);
    }
    return -1;
}
int FindOut(const std::string& name) { return Find<WAVEOUTCAPSA>(name, waveOutGetNumDevs(), waveOutGetDevCapsA); }
int FindIn(const std::string& name) { return Find<WAVEINCAPSA>(name, waveInGetNumDevs(), waveInGetDevCapsA); }

// Best normalised correlation of `signal` within `captured` over all lags.
double BestCorrelation(const Samples& captured, const Samples& signal) {
    double es = 0, best = 0;
    for (auto v : signal) es += double(v) * v;
    for (std::size_t lag = 0; lag + signal.size() <= captured.size(); ++lag) {
        double dot = 0, ec = 0;
        for (std::size_t i = 0; i < signal.size(); ++i) {
            double c = captured[lag + i];
            dot += c * signal[i];
            ec += c * c;
        }
        if (ec > 0) best = std::max(best, dot / std::sqrt(es * ec));
    }
    return best;
}

class Pulse : public Virtual {
protected:
    void SetUp() override {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(true);
    }
};

TEST_F(Pulse, ServerDevicesAreListedAfterTheVirtualOnesAndTheMapperOpensTheDefault) {
    EXPECT_GE(FindOut("DTMF-Test-Sink"), 0);
    EXPECT_GE(FindOut("Discard"), 0);
    EXPECT_GE(FindIn("Monitor of DTMF-Test-Sink"), 0);
    unsigned server = waveInGetNumDevs();
    vaudio::AddVirtualInput("Virtual", {});
    EXPECT_EQ(waveInGetNumDevs(), server + 1);
    EXPECT_EQ(FindIn("Virtual"), 0);
    EXPECT_GE(FindIn("Monitor of DTMF-Test-Sink"), 1);
    vaudio::RemoveVirtualDevices();
    HWAVEOUT out = nullptr;
    for (auto fmt : {Mono11k(), Pcm(2, 44100, 24)}) {
        ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &fmt, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    }
}

TEST_F(Pulse, PlayedSignalComesBackFromTheMonitorAndWomDoneFollowsTheDrain) {
    int sink = FindOut("DTMF-Test-Sink"), monitor = FindIn("Monitor of DTMF-Test-Sink");
    ASSERT_GE(sink, 0);
    ASSERT_GE(monitor, 0);
    std::mutex m;
    Samples captured;
    std::vector<DWORD> sizes;
    std::atomic<bool> recycle{true};
    Recorder inRec, outRec;
    inRec.hook = [&](void* h, unsigned int msg, DWORD_PTR p1) {  // keeps 8 buffers circulating until the reset
        auto* hdr = reinterpret_cast<WAVEHDR*>(p1);
        if (msg != WIM_DATA || !recycle) return;
        {
            std::lock_guard lk(m);
            auto* s = reinterpret_cast<std::int16_t*>(hdr->lpData);
            captured.insert(captured.end(), s, s + hdr->dwBytesRecorded / 2);
            sizes.push_back(hdr->dwBytesRecorded);
        }
        waveInAddBuffer(static_cast<HWAVEIN>(h), hdr, kHdr);
    };
    HWAVEIN in = OpenIn(unsigned(monitor), inRec);
    Block buffers[8];
    for (auto& b : buffers) Add(in, b);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(inRec.WaitCount(WIM_DATA, 1));

    // 0.5 s of pseudo-random noise: its correlation peak is sharp and unambiguous.
    Samples signal(5512);
    std::mt19937 gen(42);
    std::uniform_int_distribution<int> dist(-8000, 8000);
    for (auto& s : signal) s = static_cast<std::int16_t>(dist(gen));
    HWAVEOUT out = OpenOut(unsigned(sink), outRec);
    Block block(signal);
    auto written = Clock::now();
    Write(out, block);
    ASSERT_TRUE(outRec.WaitCount(WOM_DONE, 1));
    EXPECT_GE(Clock::now() - written, 400ms);  // after the block has played, not when handed over
    EXPECT_EQ(block.hdr.dwFlags, WHDR_PREPARED | WHDR_DONE);
    ASSERT_TRUE(inRec.WaitCount(WIM_DATA, inRec.Count(WIM_DATA) + 12));  // ~0.3 s more

    recycle = false;
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    for (auto& b : buffers) EXPECT_EQ(waveInUnprepareHeader(in, &b.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(out, &block.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    std::lock_guard lk(m);
    EXPECT_GT(BestCorrelation(captured, signal), 0.95);
    // Until the reset, every block is whole, whatever sizes the server delivered.
    EXPECT_EQ(sizes, std::vector<DWORD>(sizes.size(), 512u));
}

TEST_F(Pulse, PauseRestartAndResetOnTheServer) {
    Recorder rec;
    HWAVEOUT out = OpenOut(unsigned(FindOut("DTMF-Test-Sink")), rec);
    Block tone(Samples(11025 / 2, 1000));  // 0.5 s
    Write(out, tone);
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(waveOutPause(out), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(600ms);  // long enough for the whole block, had it played on
    EXPECT_EQ(rec.Count(WOM_DONE), 0u);
    ASSERT_EQ(waveOutRestart(out), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 1));
    // A reset hands the block back before it returns, without waiting for it to play.
    ASSERT_EQ(waveOutWrite(out, &tone.hdr, kHdr), MMSYSERR_NOERROR);
    auto t0 = Clock::now();
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Count(WOM_DONE), 2u);
    EXPECT_LT(Clock::now() - t0, 400ms);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

}  // namespace
