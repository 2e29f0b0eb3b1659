// Capture through waveIn* on virtual input devices; numbering, handle and open
// failures of both directions, also with no sound server answering.
#include <cstdlib>

#include "TestSupport.h"

using namespace audiotest;

namespace {

using VirtualInput = Virtual;

// The callback gives each buffer back at once (as the capture queue does): capture runs on
// through the whole source, filling the buffers in the order they were added; a stop keeps
// the buffers that wait, and a reset gives them back before it returns.
TEST_F(VirtualInput, BuffersAreFilledInOrderOnAServiceThreadAndResetReturnsTheRest)
{
    auto source = Ramp(40 * 256);
    Samples got;  // written on the service thread, read after the close
    Recorder rec;
    rec.hook = [&](void* h, unsigned int msg, DWORD_PTR p1) {
        auto* hdr = reinterpret_cast<WAVEHDR*>(p1);
        if (msg != WIM_DATA || hdr->dwFlags != (WHDR_PREPARED | WHDR_DONE))
            return;
        auto* s = reinterpret_cast<std::int16_t*>(hdr->lpData);
        got.insert(got.end(), s, s + hdr->dwBytesRecorded / 2);
        waveInAddBuffer(static_cast<HWAVEIN>(h), hdr, kHdr);
    };
    HWAVEIN h = OpenIn(vaudio::AddVirtualInput("Mic", source), rec);
    Block b[3];
    for (auto& x : b)
        Add(h, x);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WIM_DATA, 40));
    rec.hook = nullptr;
    EXPECT_EQ(got, source);
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Count(WIM_DATA), 40u) << "the stop keeps the waiting buffers";
    EXPECT_EQ(waveInClose(h), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    auto params = rec.Params(WIM_DATA);
    ASSERT_EQ(params.size(), 43u);
    for (std::size_t i = 0; i < params.size(); ++i)
        EXPECT_EQ(params[i], b[i % 3].Ptr()) << i;
    for (auto& x : b) {
        EXPECT_EQ(x.hdr.dwBytesRecorded, 0u);
        EXPECT_EQ(waveInUnprepareHeader(h, &x.hdr, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Messages().back().first, WIM_CLOSE);
    EXPECT_FALSE(rec.onOwnThread);

    // A WAV source whose end falls inside a buffer is padded with silence.
    auto samples = Ramp(100, 7);
    Recorder fileRec;
    h = OpenIn(vaudio::AddVirtualInputFile("File", WriteWav("vinput.wav", AsBytes(samples))), fileRec);
    Block whole(1024, 1);
    Add(h, whole);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(fileRec.WaitCount(WIM_DATA, 1));
    samples.resize(512, 0);
    EXPECT_EQ(whole.Head(1024), AsBytes(samples));
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

// Real-time capture reset and closed at any moment: nothing is called back after the close.
TEST_F(VirtualInput, NoCallbackAfterCloseReturns)
{
    unsigned dev = vaudio::AddVirtualInput("Live", {}, {vaudio::Pacing::RealTime});
    for (int round = 0; round < 20; ++round) {
        Recorder rec;
        HWAVEIN h = OpenIn(dev, rec);
        Block a, b;
        Add(h, a);
        Add(h, b);
        waveInStart(h);
        std::this_thread::sleep_for(std::chrono::milliseconds(round));
        ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
        auto n = rec.Messages().size();
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(rec.Messages().size(), n);
        EXPECT_EQ(rec.Messages().back().first, WIM_CLOSE);
    }
}

// Null, closed and foreign handles fail in both directions, and leave the header alone.
TEST_F(VirtualInput, NullClosedAndForeignHandlesFail)
{
    Block b;
    WAVEHDR* p = &b.hdr;
    Recorder rec;
    HWAVEIN in = OpenIn(vaudio::AddVirtualInput("Mic", {}), rec);
    HWAVEOUT out = OpenOut(vaudio::AddVirtualOutput("Speaker"), rec);
    EXPECT_EQ(waveOutReset(reinterpret_cast<HWAVEOUT>(in)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInPrepareHeader(in, p, 4), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    for (HWAVEIN h : {HWAVEIN(nullptr), in})
        for (MMRESULT r :
             {waveInPrepareHeader(h, p, kHdr), waveInAddBuffer(h, p, kHdr), waveInUnprepareHeader(h, p, kHdr),
              waveInStart(h), waveInStop(h), waveInReset(h), waveInClose(h)})
            EXPECT_EQ(r, MMSYSERR_INVALHANDLE);
    for (HWAVEOUT h : {HWAVEOUT(nullptr), out})
        for (MMRESULT r :
             {waveOutPrepareHeader(h, p, kHdr), waveOutWrite(h, p, kHdr), waveOutUnprepareHeader(h, p, kHdr),
              waveOutPause(h), waveOutRestart(h), waveOutReset(h), waveOutClose(h)})
            EXPECT_EQ(r, MMSYSERR_INVALHANDLE);
    EXPECT_EQ(b.hdr.dwFlags, 0u);
}

// Devices are numbered in registration order with names cut to 31 characters; a
// failed open leaves the handle null and sends nothing, the same in both directions.
// With no sound server answering, the server adds no devices and says why, quietly.
TEST_F(VirtualInput, NumberingAndOpenFailuresInBothDirections)
{
    ::setenv("PULSE_SERVER", ("unix:" + ::testing::TempDir() + "/vardell-no-server/native").c_str(), 1);
    vaudio::UseServerDevices(true);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    Recorder rec;
    WAVEFORMATEX f = Pcm(), isFloat = f;
    isFloat.wFormatTag = 3;
    auto open = [&](unsigned dev, const WAVEFORMATEX& fmt) {  // both ways, which must agree
        HWAVEIN in = reinterpret_cast<HWAVEIN>(0x1);
        HWAVEOUT out = reinterpret_cast<HWAVEOUT>(0x1);
        MMRESULT r = waveInOpen(&in, dev, &fmt, rec.In(), rec.Self(), CALLBACK_FUNCTION);
        EXPECT_EQ(waveOutOpen(&out, dev, &fmt, rec.Out(), rec.Self(), CALLBACK_FUNCTION), r);
        EXPECT_TRUE(in == nullptr && out == nullptr);
        return r;
    };
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(waveInGetNumDevs() + waveOutGetNumDevs(), 0u);
    EXPECT_NE(open(WAVE_MAPPER, f), MMSYSERR_NOERROR);     // no device at all
    EXPECT_NE(vaudio::SoundServerProblem(), "");           // e.g. "Connection refused"
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);  // only a connection timeout would come near it
    EXPECT_EQ(::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr(), "");

    vaudio::AddVirtualInput("Broken", {}, {vaudio::Pacing::AsFastAsBuffers, true});
    vaudio::AddVirtualOutput("Refuses", {vaudio::OutputClock::Instant, true});
    unsigned good = vaudio::AddVirtualInput(std::string(40, 'x'), {});
    vaudio::AddVirtualOutput("Good");
    WAVEINCAPSA caps{};
    ASSERT_EQ(waveInGetDevCapsA(good, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(caps.szPname), std::string(31, 'x'));
    EXPECT_EQ(waveInGetDevCapsA(2, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
    EXPECT_NE(open(0, f), MMSYSERR_NOERROR);
    EXPECT_EQ(open(WAVE_MAPPER, f), open(0, f));  // with no server the mapper is device 0, which refuses
    EXPECT_EQ(open(7, f), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(open(good, isFloat), WAVERR_BADFORMAT);
    EXPECT_EQ(rec.Messages().size(), 0u);
    HWAVEIN h = nullptr;
    EXPECT_EQ(waveInOpen(&h, good, &f, 0, 0, 0x50000), MMSYSERR_INVALFLAG);
    ASSERT_EQ(waveInOpen(&h, good, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

}  // namespace
