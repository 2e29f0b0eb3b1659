// Against the headless PulseAudio server of the test fixture: what is played into the
// sink "DTMF-Test-Sink" through waveOut* comes back from its monitor through waveIn*.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "ServerControl.h"
#include "TestSupport.h"

using namespace audiotest;
using servertest::FindDevice;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSink = "DTMF-Test-Sink", kSource = "Monitor of DTMF-Test-Sink";

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

std::string OutName(unsigned i)
{
    WAVEOUTCAPSA caps{};
    return waveOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR ? std::string(caps.szPname) : "-";
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

TEST_F(Pulse, ServerDevicesFollowTheVirtualOnesOverOneConnectionAndTheMapperFollowsTheDefault)
{
    std::vector<std::thread> first;  // threads that use the service first at once share one connection
    for (int i = 0; i < 8; ++i)
        first.emplace_back([i] { i % 2 ? waveOutGetNumDevs() : waveInGetNumDevs(); });
    for (auto& t : first)
        t.join();
    const std::string clients = Shell("pactl list clients"),
                      ours = "application.process.id = \"" + std::to_string(::getpid()) + "\"";
    ASSERT_NE(clients.find(ours), std::string::npos);
    EXPECT_EQ(clients.find(ours), clients.rfind(ours));

    const int monitor = FindDevice<WAVEINCAPSA>(kSource);
    vaudio::AddVirtualInput("Virtual", {});
    EXPECT_EQ(FindDevice<WAVEINCAPSA>("Virtual"), 0);
    EXPECT_EQ(FindDevice<WAVEINCAPSA>(kSource), monitor + 1);
    vaudio::RemoveVirtualDevices();

    // The mapper follows a new server default at once, but only GetNumDevs renumbers the devices.
    const unsigned count = waveOutGetNumDevs();
    const std::string firstOut = OutName(0), oldDefault = Shell("pactl get-default-sink");
    const std::string module = Shell("pactl load-module module-null-sink sink_name=vardell_new_default "
                                     "sink_properties=device.description=New-Default");
    Shell("pactl set-default-sink vardell_new_default");
    EXPECT_EQ(OutName(WAVE_MAPPER), "New-Default");
    EXPECT_EQ(OutName(0), firstOut);
    EXPECT_EQ(waveOutGetNumDevs(), count + 1);
    EXPECT_EQ(OutName(0), "New-Default");
    Shell("pactl set-default-sink " + oldDefault);
    Shell("pactl unload-module " + module);
}

// Ten blocks of one continuous tone, written at once, come back from the monitor as
// one second of tone without a gap, and come back to the caller in order once played.
// Then a reset hands a long block back at once.
TEST_F(Pulse, QueuedBlocksPlayWithoutAGapAndComeBackInOrderAfterPlaying)
{
    std::mutex m;
    Samples got;
    std::atomic<bool> recycle{true};
    Recorder inRec, outRec;
    inRec.hook = [&](void* h, unsigned int msg, DWORD_PTR p1) {  // keeps the buffers circulating
        auto* hdr = reinterpret_cast<WAVEHDR*>(p1);
        if (msg != WIM_DATA || !recycle)
            return;
        std::lock_guard lk(m);
        EXPECT_EQ(hdr->dwBytesRecorded, 512u) << "every block is whole, whatever sizes the server delivered";
        got.insert(got.end(), reinterpret_cast<std::int16_t*>(hdr->lpData),
                   reinterpret_cast<std::int16_t*>(hdr->lpData) + hdr->dwBytesRecorded / 2);
        waveInAddBuffer(static_cast<HWAVEIN>(h), hdr, kHdr);
    };
    HWAVEIN in = OpenIn(unsigned(FindDevice<WAVEINCAPSA>(kSource)), inRec);
    Block buffers[40];  // a second of room: a late callback thread must not make the device drop sound
    for (auto& b : buffers)
        Add(in, b);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(inRec.WaitCount(WIM_DATA, 1));  // capturing before anything plays

    constexpr std::size_t kBlock = 1102;  // 100 ms
    Samples tone(10 * kBlock);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * 3.14159265358979 * 440 * double(i) / 11025));
    std::vector<std::unique_ptr<Block>> blocks;
    HWAVEOUT out = OpenOut(unsigned(FindDevice<WAVEOUTCAPSA>(kSink)), outRec);
    const auto written = Clock::now();
    for (std::size_t b = 0; b < 10; ++b) {
        blocks.push_back(std::make_unique<Block>(Samples(&tone[b * kBlock], &tone[b * kBlock] + kBlock)));
        Write(out, *blocks.back());
    }
    ASSERT_TRUE(outRec.WaitCount(WOM_DONE, 10));
    EXPECT_GE(Clock::now() - written, 900ms);  // once played, not when handed over
    for (int b = 0; b < 10; ++b)
        EXPECT_EQ(outRec.Params(WOM_DONE)[b], blocks[b]->Ptr());
    ASSERT_TRUE(inRec.WaitCount(WIM_DATA, inRec.Count(WIM_DATA) + 12));  // ~0.3 s more
    recycle = false;
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    for (auto& b : buffers)
        EXPECT_EQ(waveInUnprepareHeader(in, &b.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    {
        std::lock_guard lk(m);
        auto loud = [](std::int16_t v) { return std::abs(v) > 1000; };
        const auto first = std::find_if(got.begin(), got.end(), loud);
        const auto last = std::find_if(got.rbegin(), got.rend(), loud).base();
        ASSERT_LT(first, last);
        EXPECT_NEAR(double(last - first), double(tone.size()), 60);
        std::size_t quiet = 0, longestQuiet = 0, peak = 0;  // a gap is a run of near-silence inside the tone
        for (auto it = first; it != last; ++it) {
            longestQuiet = std::max(longestQuiet, quiet = std::abs(*it) < 300 ? quiet + 1 : 0);
            peak = std::max<std::size_t>(peak, std::abs(*it));
        }
        EXPECT_LE(longestQuiet, 3u);
        EXPECT_NEAR(double(peak), 8000, 200);  // the samples themselves, not a louder or softer copy
    }

    Block longBlock(Samples(3 * 11025, 0));
    Write(out, longBlock);
    const auto reset = Clock::now();
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_LT(Clock::now() - reset, 2s);
    EXPECT_EQ(outRec.Count(WOM_DONE), 11u);  // before the reset returned
    EXPECT_EQ(outRec.Params(WOM_DONE).back(), longBlock.Ptr());
    EXPECT_EQ(waveOutUnprepareHeader(out, &longBlock.hdr, kHdr), MMSYSERR_NOERROR);
    for (auto& b : blocks)
        EXPECT_EQ(waveOutUnprepareHeader(out, &b->hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

// The server dies under both directions: each device says why once, gives back
// every block it held, and refuses new work; reset and close still work.
TEST_F(Pulse, ServerDeathGivesEveryBlockBackWithTheReason)
{
    Recorder inRec, outRec;
    HWAVEIN in = OpenIn(unsigned(FindDevice<WAVEINCAPSA>(kSource)), inRec);
    HWAVEOUT out = OpenOut(unsigned(FindDevice<WAVEOUTCAPSA>(kSink)), outRec);
    Block buffers[4] = {Block(44100), Block(44100), Block(44100), Block(44100)};  // two seconds each
    Block sound[2] = {Block(Samples(33075, 500)), Block(Samples(33075, 500))};
    for (auto& b : buffers)
        Add(in, b);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    for (auto& b : sound)
        Write(out, b);
    std::this_thread::sleep_for(200ms);

    ASSERT_TRUE(servertest::KillServer());
    ASSERT_TRUE(outRec.WaitCount(WOM_DONE, 2) && outRec.WaitCount(WOM_LOST, 1));
    ASSERT_TRUE(inRec.WaitCount(WIM_DATA, 4) && inRec.WaitCount(WIM_LOST, 1));
    const auto inMsgs = inRec.Messages(), outMsgs = outRec.Messages();
    for (auto* msgs : {&inMsgs, &outMsgs}) {  // open, the reason, then the blocks
        ASSERT_EQ(msgs->size(), msgs == &inMsgs ? 6u : 4u);
        EXPECT_NE(std::string(reinterpret_cast<const char*>(msgs->at(1).second)), "");
    }
    EXPECT_EQ(inMsgs[1].first, WIM_LOST);
    EXPECT_EQ(outMsgs[1].first, WOM_LOST);
    for (MMRESULT r : {waveInAddBuffer(in, &buffers[0].hdr, kHdr), waveInStart(in),
                       waveOutWrite(out, &sound[0].hdr, kHdr), waveOutPause(out)})
        EXPECT_EQ(r, MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    for (auto& b : buffers)
        EXPECT_EQ(waveInUnprepareHeader(in, &b.hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(outRec.Messages().back().first, WOM_CLOSE);
}

}  // namespace
