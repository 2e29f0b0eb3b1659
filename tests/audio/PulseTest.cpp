// Against the headless PulseAudio server of the test fixture: what is played into
// the sink "DTMF-Test-Sink" through waveOut* comes back from its monitor through waveIn*.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "TestSupport.h"

using namespace audiotest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class Pulse : public ::testing::Test {
protected:
    void SetUp() override {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(true);
    }

    template <class Caps, class GetNum, class GetCaps>
    static int Find(const std::string& name, GetNum getNum, GetCaps getCaps) {
        unsigned n = getNum();
        for (unsigned i = 0; i < n; ++i) {
            Caps caps{};
            if (getCaps(i, &caps, sizeof caps) == MMSYSERR_NOERROR && name == caps.szPname) return int(i);
        }
        return -1;
    }
    static int FindOut(const std::string& name) {
        return Find<WAVEOUTCAPSA>(name, waveOutGetNumDevs, waveOutGetDevCapsA);
    }
    static int FindIn(const std::string& name) { return Find<WAVEINCAPSA>(name, waveInGetNumDevs, waveInGetDevCapsA); }
};

TEST_F(Pulse, ServerDevicesAreListedAfterTheVirtualOnes) {
    EXPECT_GE(FindOut("DTMF-Test-Sink"), 0);
    EXPECT_GE(FindOut("Discard"), 0);
    EXPECT_GE(FindIn("Monitor of DTMF-Test-Sink"), 0);

    unsigned server = waveInGetNumDevs();
    vaudio::AddVirtualInput("Virtual", {});
    EXPECT_EQ(waveInGetNumDevs(), server + 1);
    EXPECT_EQ(FindIn("Virtual"), 0);
    EXPECT_GE(FindIn("Monitor of DTMF-Test-Sink"), 1);
    vaudio::UseServerDevices(false);
    EXPECT_EQ(waveInGetNumDevs(), 1u);
    vaudio::UseServerDevices(true);
    vaudio::RemoveVirtualDevices();
}

// Capture keeps 8 buffers circulating and stamps each block's arrival.
struct Capture {
    std::mutex m;
    std::vector<std::int16_t> samples;
    std::vector<Clock::time_point> arrivals;
    std::vector<DWORD> sizes;
    std::atomic<bool> recycle{true};
    Recorder rec;

    Capture() {
        rec.hook = [this](void* h, unsigned int msg, DWORD_PTR p1) {
            if (msg != WIM_DATA) return;
            auto* hdr = reinterpret_cast<WAVEHDR*>(p1);
            {
                std::lock_guard lk(m);
                auto* s = reinterpret_cast<std::int16_t*>(hdr->lpData);
                samples.insert(samples.end(), s, s + hdr->dwBytesRecorded / 2);
                arrivals.push_back(Clock::now());
                if (recycle) sizes.push_back(hdr->dwBytesRecorded);
            }
            if (recycle) waveInAddBuffer(static_cast<HWAVEIN>(h), hdr, sizeof(WAVEHDR));
        };
    }
};

// Best normalised correlation of `signal` within `captured` over all lags.
double BestCorrelation(const std::vector<std::int16_t>& captured, const std::vector<std::int16_t>& signal) {
    if (captured.size() < signal.size()) return 0;
    double es = 0;
    for (auto v : signal) es += double(v) * v;
    double best = 0;
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

TEST_F(Pulse, PlayedSignalComesBackFromTheMonitor) {
    int sink = FindOut("DTMF-Test-Sink");
    int monitor = FindIn("Monitor of DTMF-Test-Sink");
    ASSERT_GE(sink, 0);
    ASSERT_GE(monitor, 0);
    WAVEFORMATEX f = Mono11k();

    Capture cap;
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, unsigned(monitor), &f, cap.rec.In(), cap.rec.Self(), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    std::vector<Block> buffers;
    buffers.reserve(8);
    for (int i = 0; i < 8; ++i) {
        Block& b = buffers.emplace_back(512);
        ASSERT_EQ(waveInPrepareHeader(in, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    auto started = Clock::now();
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(cap.rec.WaitCount(WIM_DATA, 1));
    auto firstBlock = Clock::now() - started;

    // 0.5 s of pseudo-random noise: its correlation peak is sharp and unambiguous.
    std::vector<std::int16_t> signal(5512);
    std::mt19937 gen(42);
    std::uniform_int_distribution<int> dist(-8000, 8000);
    for (auto& s : signal) s = static_cast<std::int16_t>(dist(gen));
    Recorder outRec;
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, unsigned(sink), &f, outRec.Out(), outRec.Self(), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    WAVEHDR hdr{};
    hdr.lpData = reinterpret_cast<char*>(signal.data());
    hdr.dwBufferLength = DWORD(signal.size() * 2);
    ASSERT_EQ(waveOutPrepareHeader(out, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    auto written = Clock::now();
    ASSERT_EQ(waveOutWrite(out, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    ASSERT_TRUE(outRec.WaitCount(WOM_DONE, 1));
    auto drained = Clock::now() - written;
    EXPECT_EQ(hdr.dwFlags, WHDR_PREPARED | WHDR_DONE);
    // WOM_DONE comes after the block has played, not when it was handed over.
    EXPECT_GE(drained, 400ms);
    std::size_t blocksBefore = cap.rec.Count(WIM_DATA);
    ASSERT_TRUE(cap.rec.WaitCount(WIM_DATA, blocksBefore + 12));  // ~0.3 s more

    cap.recycle = false;
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    for (auto& b : buffers) EXPECT_EQ(waveInUnprepareHeader(in, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(out, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);

    std::lock_guard lk(cap.m);
    EXPECT_GT(BestCorrelation(cap.samples, signal), 0.95);
    // Until the reset, every block is whole, whatever sizes the server delivered.
    EXPECT_EQ(std::count(cap.sizes.begin(), cap.sizes.end(), 512u), std::ptrdiff_t(cap.sizes.size()));

    std::vector<double> intervals;
    for (std::size_t i = 1; i < cap.arrivals.size(); ++i)
        intervals.push_back(std::chrono::duration<double, std::milli>(cap.arrivals[i] - cap.arrivals[i - 1]).count());
    std::nth_element(intervals.begin(), intervals.begin() + long(intervals.size() / 2), intervals.end());
    std::printf("pulse: first block %.1f ms, median block interval %.1f ms over %zu blocks, drain of 500 ms block %.1f ms\n",
                std::chrono::duration<double, std::milli>(firstBlock).count(), intervals[intervals.size() / 2],
                cap.arrivals.size(), std::chrono::duration<double, std::milli>(drained).count());
}

TEST_F(Pulse, PauseRestartAndResetOnTheServer) {
    int sink = FindOut("DTMF-Test-Sink");
    ASSERT_GE(sink, 0);
    WAVEFORMATEX f = Mono11k();
    Recorder rec;
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, unsigned(sink), &f, rec.Out(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    std::vector<std::int16_t> tone(11025 / 2, 1000);  // 0.5 s
    WAVEHDR hdr{};
    hdr.lpData = reinterpret_cast<char*>(tone.data());
    hdr.dwBufferLength = DWORD(tone.size() * 2);
    ASSERT_EQ(waveOutPrepareHeader(out, &hdr, sizeof hdr), MMSYSERR_NOERROR);

    // Paused for 0.6 s in the middle: the block cannot be done before 0.5 + 0.6 s.
    auto t0 = Clock::now();
    ASSERT_EQ(waveOutWrite(out, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(waveOutPause(out), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(rec.Count(WOM_DONE), 0u);
    ASSERT_EQ(waveOutRestart(out), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 1));
    EXPECT_GE(Clock::now() - t0, 1000ms);

    // A reset hands the block back before it returns, long before it could have played.
    ASSERT_EQ(waveOutWrite(out, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(50ms);
    auto t1 = Clock::now();
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Count(WOM_DONE), 2u);
    EXPECT_LT(Clock::now() - t1, 400ms);
    // And the device plays again afterwards.
    ASSERT_EQ(waveOutWrite(out, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 3));
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

TEST_F(Pulse, MapperOpensTheServersDefault) {
    WAVEFORMATEX f = Mono11k();
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    WAVEFORMATEX odd = Pcm(2, 44100, 24);
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &odd, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

}  // namespace
