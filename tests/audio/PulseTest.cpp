// Against the headless PulseAudio server of the test fixture: what is played into
// the sink "DTMF-Test-Sink" through waveOut* comes back from its monitor through waveIn*.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>

#include "ServerControl.h"
#include "TestSupport.h"

using namespace audiotest;
using Clock = std::chrono::steady_clock;

namespace {

template <class Caps, class GetCaps>
int Find(const std::string& name, unsigned count, GetCaps getCaps)
{
    for (unsigned i = 0; i < count; ++i) {
        Caps caps{};
        if (getCaps(i, &caps, sizeof caps) == MMSYSERR_NOERROR && name == caps.szPname)
            return int(i);
    }
    return -1;
}
// Standard output of a shell command (pactl talks to the fixture's server through PULSE_SERVER).
std::string Shell(const std::string& command)
{
    std::string out;
    if (FILE* f = ::popen(command.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            out.append(buf, n);
        ::pclose(f);
    }
    return out;
}

int FindOut(const std::string& name)
{
    return Find<WAVEOUTCAPSA>(name, waveOutGetNumDevs(), waveOutGetDevCapsA);
}
int FindIn(const std::string& name)
{
    return Find<WAVEINCAPSA>(name, waveInGetNumDevs(), waveInGetDevCapsA);
}

// Best normalised correlation of `signal` within `captured` over all lags.
double BestCorrelation(const Samples& captured, const Samples& signal)
{
    double es = 0, best = 0;
    for (auto v : signal)
        es += double(v) * v;
    for (std::size_t lag = 0; lag + signal.size() <= captured.size(); ++lag) {
        double dot = 0, ec = 0;
        for (std::size_t i = 0; i < signal.size(); ++i) {
            double c = captured[lag + i];
            dot += c * signal[i];
            ec += c * c;
        }
        if (ec > 0)
            best = std::max(best, dot / std::sqrt(es * ec));
    }
    return best;
}

class Pulse : public Virtual {
protected:
    void SetUp() override
    {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(true);
    }
    void TearDown() override { EXPECT_TRUE(servertest::StartServer()); }  // a killed server comes back
};

TEST_F(Pulse, ServerDevicesAreListedAfterTheVirtualOnesAndTheMapperOpensTheDefault)
{
    // Threads that use the service first at the same moment share one connection.
    std::vector<std::thread> first;
    std::atomic<bool> go{false};
    for (int i = 0; i < 8; ++i)
        first.emplace_back([&, i] {
            while (!go)
                std::this_thread::yield();
            WAVEINCAPSA caps;
            i % 2 ? void(waveOutGetNumDevs()) : void(waveInGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps));
        });
    go = true;
    for (auto& t : first)
        t.join();
    const std::string clients = Shell("pactl list clients");
    const std::string ours = "application.process.id = \"" + std::to_string(::getpid()) + "\"";
    std::size_t connections = 0;
    for (auto at = clients.find(ours); at != std::string::npos; at = clients.find(ours, at + 1))
        ++connections;
    EXPECT_EQ(connections, 1u);

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

    // The mapper follows a new server default, but only GetNumDevs renumbers the devices.
    const unsigned count = waveOutGetNumDevs();
    auto name = [](unsigned i) {
        WAVEOUTCAPSA caps{};
        return waveOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR ? std::string(caps.szPname) : "-";
    };
    std::vector<std::string> before;
    for (unsigned i = 0; i < count; ++i)
        before.push_back(name(i));
    const std::string oldDefault = Shell("pactl get-default-sink");
    const std::string module = Shell("pactl load-module module-null-sink sink_name=vardell_new_default "
                                     "sink_properties=device.description=New-Default");
    Shell("pactl set-default-sink vardell_new_default");
    EXPECT_EQ(name(WAVE_MAPPER), "New-Default");
    auto fmt = Mono11k();
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &fmt, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    waveOutClose(out);
    std::vector<std::string> after;
    for (unsigned i = 0; i < count; ++i)
        after.push_back(name(i));
    EXPECT_EQ(after, before);
    EXPECT_EQ(waveOutGetNumDevs(), count + 1);
    EXPECT_EQ(name(0), "New-Default");
    Shell("pactl set-default-sink " + oldDefault);
    Shell("pactl unload-module " + module);
}

// Captures the sink's monitor into `captured`, keeping 8 buffers circulating until Stop.
struct MonitorCapture {
    std::mutex m;
    Samples captured;
    std::vector<DWORD> sizes;
    std::atomic<bool> recycle{true};
    Recorder rec;
    HWAVEIN in = nullptr;
    Block buffers[8];

    void Start()
    {
        rec.hook = [this](void* h, unsigned int msg, DWORD_PTR p1) {
            auto* hdr = reinterpret_cast<WAVEHDR*>(p1);
            if (msg != WIM_DATA || !recycle)
                return;
            {
                std::lock_guard lk(m);
                auto* s = reinterpret_cast<std::int16_t*>(hdr->lpData);
                captured.insert(captured.end(), s, s + hdr->dwBytesRecorded / 2);
                sizes.push_back(hdr->dwBytesRecorded);
            }
            waveInAddBuffer(static_cast<HWAVEIN>(h), hdr, kHdr);
        };
        auto f = Mono11k();
        ASSERT_EQ(
            waveInOpen(&in, unsigned(FindIn("Monitor of DTMF-Test-Sink")), &f, rec.In(), rec.Self(), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
        for (auto& b : buffers) {
            ASSERT_EQ(waveInPrepareHeader(in, &b.hdr, kHdr), MMSYSERR_NOERROR);
            ASSERT_EQ(waveInAddBuffer(in, &b.hdr, kHdr), MMSYSERR_NOERROR);
        }
        ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
        ASSERT_TRUE(rec.WaitCount(WIM_DATA, 1));
    }
    void Stop()
    {
        recycle = false;
        EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
        for (auto& b : buffers)
            EXPECT_EQ(waveInUnprepareHeader(in, &b.hdr, kHdr), MMSYSERR_NOERROR);
        EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    }
};

// Ten blocks of one continuous tone, written at once, come back from the monitor
// as one second of tone without a gap, and come back to the caller in order.
TEST_F(Pulse, QueuedBlocksPlayWithoutAGapAndComeBackInOrderAfterPlaying)
{
    MonitorCapture capture;
    capture.Start();
    constexpr std::size_t kBlock = 1102;  // 100 ms
    Samples tone(10 * kBlock);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * 3.14159265358979 * 440 * double(i) / 11025));
    std::vector<std::unique_ptr<Block>> blocks;
    for (int b = 0; b < 10; ++b)
        blocks.push_back(std::make_unique<Block>(Samples(tone.begin() + b * kBlock, tone.begin() + (b + 1) * kBlock)));
    Recorder outRec;
    HWAVEOUT out = OpenOut(unsigned(FindOut("DTMF-Test-Sink")), outRec);
    const auto written = Clock::now();
    for (auto& b : blocks)
        Write(out, *b);
    ASSERT_TRUE(outRec.WaitCount(WOM_DONE, 10));
    EXPECT_GE(Clock::now() - written, 900ms);  // after the blocks have played, not when handed over
    auto done = outRec.Params(WOM_DONE);
    for (int b = 0; b < 10; ++b)
        EXPECT_EQ(done[b], blocks[b]->Ptr());
    ASSERT_TRUE(capture.rec.WaitCount(WIM_DATA, capture.rec.Count(WIM_DATA) + 12));  // ~0.3 s more
    capture.Stop();
    for (auto& b : blocks)
        EXPECT_EQ(waveOutUnprepareHeader(out, &b->hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);

    std::lock_guard lk(capture.m);
    const Samples& got = capture.captured;
    auto loud = [](std::int16_t v) { return std::abs(v) > 1000; };
    const auto first = std::find_if(got.begin(), got.end(), loud);
    const auto last = std::find_if(got.rbegin(), got.rend(), loud).base();
    ASSERT_LT(first, last);
    EXPECT_NEAR(double(last - first), double(tone.size()), 60);
    std::size_t quiet = 0, longestQuiet = 0;  // a gap is a run of near-silence inside the tone
    for (auto it = first; it != last; ++it)
        longestQuiet = std::max(longestQuiet, quiet = std::abs(*it) < 300 ? quiet + 1 : 0);
    EXPECT_LE(longestQuiet, 3u);
    const Samples heard(first, last);
    EXPECT_GT(BestCorrelation(heard, Samples(tone.begin() + 100, tone.begin() + 1100)), 0.95);
    // Until the reset, every block is whole, whatever sizes the server delivered.
    EXPECT_EQ(capture.sizes, std::vector<DWORD>(capture.sizes.size(), 512u));
}

// The server dies under both directions: each device says why once, gives back
// every block it held, and refuses new work; reset and close still work.
TEST_F(Pulse, ServerDeathGivesEveryBlockBackWithTheReason)
{
    std::mutex m;
    std::vector<std::string> reasons;
    Recorder inRec, outRec;
    auto keepReason = [&](void*, unsigned int msg, DWORD_PTR p1) {
        if (msg == WIM_LOST || msg == WOM_LOST) {
            std::lock_guard lk(m);
            reasons.emplace_back(reinterpret_cast<const char*>(p1));
        }
    };
    inRec.hook = outRec.hook = keepReason;
    HWAVEIN in = OpenIn(unsigned(FindIn("Monitor of DTMF-Test-Sink")), inRec);
    HWAVEOUT out = OpenOut(unsigned(FindOut("DTMF-Test-Sink")), outRec);
    Block buffers[4] = {Block(22050), Block(22050), Block(22050), Block(22050)};  // a second each
    Block sound[2] = {Block(Samples(11025, 500)), Block(Samples(11025, 500))};
    for (auto& b : buffers)
        Add(in, b);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    for (auto& b : sound)
        Write(out, b);
    std::this_thread::sleep_for(200ms);

    ASSERT_TRUE(servertest::KillServer());
    const auto killed = Clock::now();
    ASSERT_TRUE(outRec.WaitCount(WOM_DONE, 2) && outRec.WaitCount(WOM_LOST, 1));
    ASSERT_TRUE(inRec.WaitCount(WIM_DATA, 4) && inRec.WaitCount(WIM_LOST, 1));
    EXPECT_LT(Clock::now() - killed, 3s);
    auto messages = inRec.Messages();  // the reason first, then the blocks
    EXPECT_EQ(messages[1].msg, WIM_LOST);
    EXPECT_EQ(inRec.Count(WIM_LOST) + outRec.Count(WOM_LOST), 2u);
    {
        std::lock_guard lk(m);
        ASSERT_EQ(reasons.size(), 2u);
        EXPECT_FALSE(reasons[0].empty());
    }
    EXPECT_EQ(waveInAddBuffer(in, &buffers[0].hdr, kHdr), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInStart(in), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutWrite(out, &sound[0].hdr, kHdr), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    for (auto& b : buffers)
        EXPECT_EQ(waveInUnprepareHeader(in, &b.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(outRec.Messages().back().msg, WOM_CLOSE);
}

TEST_F(Pulse, PauseRestartAndResetOnTheServer)
{
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
