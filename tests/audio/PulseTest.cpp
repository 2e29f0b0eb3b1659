// Against the headless PulseAudio server of the test fixture: what is played into
// the sink "DTMF-Test-Sink" through waveOut* comes back from its monitor through waveIn*.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <random>

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

TEST_F(Pulse, PlayedSignalComesBackFromTheMonitorAndWomDoneFollowsTheDrain)
{
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
    HWAVEIN in = OpenIn(unsigned(monitor), inRec);
    Block buffers[8];
    for (auto& b : buffers)
        Add(in, b);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(inRec.WaitCount(WIM_DATA, 1));

    // 0.5 s of pseudo-random noise: its correlation peak is sharp and unambiguous.
    Samples signal(5512);
    std::mt19937 gen(42);
    std::uniform_int_distribution<int> dist(-8000, 8000);
    for (auto& s : signal)
        s = static_cast<std::int16_t>(dist(gen));
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
    for (auto& b : buffers)
        EXPECT_EQ(waveInUnprepareHeader(in, &b.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(out, &block.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    std::lock_guard lk(m);
    EXPECT_GT(BestCorrelation(captured, signal), 0.95);
    // Until the reset, every block is whole, whatever sizes the server delivered.
    EXPECT_EQ(sizes, std::vector<DWORD>(sizes.size(), 512u));
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
