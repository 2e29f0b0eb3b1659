// Against the headless PulseAudio server of the test fixture: what is played into the
// sink "DTMF-Test-Sink" through waveOut* comes back from its monitor through waveIn*.
#include <cmath>
#include <cstdlib>
#include <deque>

#include "ServerControl.h"
#include "TestSupport.h"

using namespace audiotest;
using servertest::FindDevice;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSink = "DTMF-Test-Sink", kSource = "Monitor of DTMF-Test-Sink";

// Each test runs in a process of its own: no virtual devices unless it adds them.
class Pulse : public Virtual {
protected:
    void SetUp() override {}
    void TearDown() override { EXPECT_TRUE(servertest::StartServer()); }  // a killed server comes back
};

// The mapper is the server's default, not the first (virtual) device, and follows a new one at once.
// The server's devices take 8, 16, 24 and 32 bits and refuse what they cannot play or record.
TEST_F(Pulse, TheMapperFollowsANewDefaultSinkAndTheServersDevicesRefuseBadFormats)
{
    vaudio::AddVirtualOutput("Virtual");
    ASSERT_EQ(std::system("pactl load-module module-null-sink sink_name=vardell_new_default "
                          "sink_properties=device.description=New-Default >/dev/null && "
                          "pactl set-default-sink vardell_new_default"),
              0);
    WAVEOUTCAPSA caps{};
    EXPECT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(caps.szPname), "New-Default");
    EXPECT_EQ(FindDevice<WAVEOUTCAPSA>("New-Default"), 1);  // once renumbered: after the virtual one, default first
    EXPECT_EQ(waveOutGetDevCapsA(waveOutGetNumDevs() - 1, &caps, sizeof caps), MMSYSERR_NOERROR);  // the last one too
    EXPECT_EQ(waveOutGetDevCapsA(waveOutGetNumDevs(), &caps, sizeof caps), MMSYSERR_BADDEVICEID);

    const unsigned sink = unsigned(FindDevice<WAVEOUTCAPSA>("New-Default"));
    const unsigned monitor = unsigned(FindDevice<WAVEINCAPSA>("Monitor of New-Default"));
    auto width = [](WORD bits) {
        return WAVEFORMATEX{WAVE_FORMAT_PCM, 2, 8000, 2000u * bits / 8, WORD(bits / 4), bits, 0};
    };
    HWAVEOUT out = nullptr;
    HWAVEIN in = nullptr;
    WAVEFORMATEX f;
    for (const WAVEFORMATEX& bad : {width(12), Pcm(33), Pcm(1, 0)})
        EXPECT_TRUE(waveOutOpen(&out, sink, &bad, 0, 0, 0) == WAVERR_BADFORMAT &&
                    waveInOpen(&in, monitor, &bad, 0, 0, 0) == WAVERR_BADFORMAT && !out && !in)
            << bad.wBitsPerSample << " bits, " << bad.nChannels << " channels, " << bad.nSamplesPerSec << " Hz";
    for (WORD bits : {8, 24, 32})
        EXPECT_TRUE(waveOutOpen(&out, sink, &(f = width(bits)), 0, 0, 0) == 0 && waveOutClose(out) == 0) << bits;
    EXPECT_EQ(waveInOpen(&in, waveInGetNumDevs(), &(f = Pcm()), 0, 0, 0), MMSYSERR_BADDEVICEID);

    std::system("pactl set-default-sink dtmf_sink && pactl unload-module "
                "$(pactl list short modules | grep vardell_new_default | cut -f1)");
}

// Ten blocks of one continuous tone, written at once, come back from the monitor as
// one second of tone without a gap or a change, and come back to the caller in order once played.
// Then a reset hands a long block back at once, and the next block plays.
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
        auto* s = reinterpret_cast<std::int16_t*>(hdr->lpData);
        got.insert(got.end(), s, s + hdr->dwBytesRecorded / 2);
        waveInAddBuffer(static_cast<HWAVEIN>(h), hdr, kHdr);
    };
    HWAVEIN in = OpenIn(unsigned(FindDevice<WAVEINCAPSA>(kSource)), inRec);
    Block buffers[40];  // a second of room: a late callback thread must not make the device drop sound
    for (auto& b : buffers)
        Add(in, b);
    ASSERT_TRUE(waveInStart(in) == MMSYSERR_NOERROR && inRec.WaitCount(WIM_DATA, 1));  // capturing before playing

    constexpr std::size_t kTone = 11020;  // ten blocks of 100 ms
    Samples tone(kTone);
    for (std::size_t i = 0; i < kTone; ++i)
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * 3.14159265358979 * 440 * double(i) / 11025));
    std::deque<Block> blocks;  // never moved: the device holds their headers
    std::vector<DWORD_PTR> order;
    HWAVEOUT out = OpenOut(unsigned(FindDevice<WAVEOUTCAPSA>(kSink)), outRec);
    const auto written = Clock::now();
    for (auto at = tone.begin(); at != tone.end(); at += kTone / 10) {
        Write(out, blocks.emplace_back(Samples(at, at + kTone / 10)));
        order.push_back(blocks.back().Ptr());
    }
    ASSERT_TRUE(outRec.WaitCount(WOM_DONE, 10));
    EXPECT_GE(Clock::now() - written, 900ms);  // once played, not when handed over
    EXPECT_EQ(outRec.Params(WOM_DONE), order);
    ASSERT_TRUE(inRec.WaitCount(WIM_DATA, inRec.Count(WIM_DATA) + 12));  // ~0.3 s more
    recycle = false;
    ASSERT_TRUE(waveInReset(in) == MMSYSERR_NOERROR && waveInClose(in) == MMSYSERR_NOERROR);
    std::lock_guard lk(m);
    // Sample for sample, aligned at the tone's loud last sample; the server may lose the first
    // few ms of a new stream that it had already rendered ahead as silence.
    const auto end = std::find_if(got.rbegin(), got.rend(), [](std::int16_t v) { return std::abs(v) > 1000; }).base();
    constexpr std::ptrdiff_t kCompared = kTone - 110;
    ASSERT_GE(end - got.begin(), kCompared);
    EXPECT_TRUE(std::equal(end - kCompared, end, tone.end() - kCompared));

    Block longBlock(Samples(10 * 11025, 0));
    Write(out, longBlock);
    const auto reset = Clock::now();
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_LT(Clock::now() - reset, 5s);  // not once the ten seconds have played
    EXPECT_EQ(outRec.Params(WOM_DONE).back(), longBlock.Ptr());
    ASSERT_EQ(waveOutWrite(out, &blocks[0].hdr, kHdr), MMSYSERR_NOERROR);  // and playing goes on after it
    EXPECT_TRUE(outRec.WaitCount(WOM_DONE, 12));
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
    for (Recorder* rec : {&inRec, &outRec}) {  // open, the reason, then the blocks
        const auto msgs = rec->Messages();
        ASSERT_EQ(msgs.size(), rec == &inRec ? 6u : 4u);
        EXPECT_EQ(msgs[1].first, rec == &inRec ? WIM_LOST : WOM_LOST);
        EXPECT_NE(std::string(reinterpret_cast<const char*>(msgs[1].second)), "");
    }
    for (MMRESULT r : {waveInAddBuffer(in, &buffers[0].hdr, kHdr), waveInStart(in),
                       waveOutWrite(out, &sound[0].hdr, kHdr), waveOutPause(out)})
        EXPECT_EQ(r, MMSYSERR_NODRIVER);
    EXPECT_TRUE(waveOutReset(out) == MMSYSERR_NOERROR && waveInClose(in) == MMSYSERR_NOERROR &&
                waveOutClose(out) == MMSYSERR_NOERROR);
    EXPECT_EQ(outRec.Messages().back().first, WOM_CLOSE);
}

}  // namespace
