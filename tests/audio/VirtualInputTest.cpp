// Capture through waveIn* on virtual input devices; numbering, handle and open
// failures of both directions, also with no sound server answering.
#include <cstdlib>

#include "TestSupport.h"

using namespace audiotest;

namespace {

using VirtualInput = Virtual;

// The callback gives each buffer back at once (as the capture queue does): capture runs on
// through the whole WAV file, filling the buffers in the order they were added and padding the
// last with silence; a stop keeps the buffers that wait, and a reset gives them back before it returns.
TEST_F(VirtualInput, BuffersAreFilledInOrderOnAServiceThreadAndResetReturnsTheRest)
{
    auto source = Ramp(40 * 256 - 100), padded = source;
    padded.resize(40 * 256);
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
    HWAVEIN h = OpenIn(vaudio::AddVirtualInputFile("Mic", WriteWav("vinput.wav", AsBytes(source))), rec);
    Block b[3];
    for (auto& x : b)
        Add(h, x);
    ASSERT_TRUE(waveInStart(h) == MMSYSERR_NOERROR && rec.WaitCount(WIM_DATA, 40));
    rec.hook = nullptr;
    EXPECT_EQ(got, padded);
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Count(WIM_DATA), 40u) << "the stop keeps the waiting buffers";
    EXPECT_EQ(waveInClose(h), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    std::vector<DWORD_PTR> order;  // the three buffers over and over
    for (int i = 0; i < 43; ++i)
        order.push_back(b[i % 3].Ptr());
    EXPECT_EQ(rec.Params(WIM_DATA), order);
    for (auto& x : b)
        EXPECT_TRUE(x.hdr.dwBytesRecorded == 0 && waveInUnprepareHeader(h, &x.hdr, kHdr) == MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    EXPECT_TRUE(rec.Messages().back().first == WIM_CLOSE && !rec.onOwnThread);

    // In real time, reset and closed while it runs: nothing is called back after the close.
    Recorder live;
    h = OpenIn(vaudio::AddVirtualInput("Live", {}, {vaudio::Pacing::RealTime}), live);
    Add(h, b[0]);
    Add(h, b[1]);
    ASSERT_TRUE(waveInStart(h) == MMSYSERR_NOERROR && live.WaitCount(WIM_DATA, 1));
    ASSERT_TRUE(waveInReset(h) == MMSYSERR_NOERROR && waveInClose(h) == MMSYSERR_NOERROR);
    const auto sent = live.Messages();
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(live.Messages() == sent && sent.back().first == WIM_CLOSE && live.Count(WIM_DATA) == 2);
}

// Devices are numbered in registration order with names cut to 31 characters; an open
// fails or succeeds the same in both directions, and a failed one leaves the handle null
// and sends nothing. With no sound server answering, the server adds no devices and says why, quietly.
TEST_F(VirtualInput, NumberingOpenFailuresAndBadHandlesInBothDirections)
{
    ::setenv("PULSE_SERVER", ("unix:" + ::testing::TempDir() + "/vardell-no-server/native").c_str(), 1);
    vaudio::UseServerDevices(true);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    Recorder rec;
    auto open = [&](unsigned dev, const WAVEFORMATEX& fmt) {
        HWAVEIN in = reinterpret_cast<HWAVEIN>(0x1);
        HWAVEOUT out = reinterpret_cast<HWAVEOUT>(0x1);
        const auto sent = rec.Messages().size();
        MMRESULT r = waveInOpen(&in, dev, &fmt, rec.In(), rec.Self(), CALLBACK_FUNCTION);
        EXPECT_EQ(waveOutOpen(&out, dev, &fmt, rec.Out(), rec.Self(), CALLBACK_FUNCTION), r);
        if (r == MMSYSERR_NOERROR)
            EXPECT_TRUE(waveInClose(in) == MMSYSERR_NOERROR && waveOutClose(out) == MMSYSERR_NOERROR);
        else
            EXPECT_TRUE(in == nullptr && out == nullptr && rec.Messages().size() == sent);
        return r;
    };
    EXPECT_EQ(waveInGetNumDevs() + waveOutGetNumDevs(), 0u);
    EXPECT_NE(open(WAVE_MAPPER, Pcm()), MMSYSERR_NOERROR);  // no device at all
    EXPECT_NE(vaudio::SoundServerProblem(), "");            // e.g. "Connection refused"
    EXPECT_EQ(::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr(), "");

    vaudio::AddVirtualInput("Broken", {}, {vaudio::Pacing::AsFastAsBuffers, true});
    vaudio::AddVirtualOutput("Refuses", {vaudio::OutputClock::Instant, true});
    unsigned good = vaudio::AddVirtualInput(std::string(40, 'x'), {});
    vaudio::AddVirtualOutput("Good");
    WAVEINCAPSA caps{};
    EXPECT_TRUE(waveInGetDevCapsA(good, &caps, sizeof caps) == 0 && std::string(caps.szPname) == std::string(31, 'x'));
    EXPECT_EQ(waveInGetDevCapsA(2, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
    EXPECT_NE(open(0, Pcm()), MMSYSERR_NOERROR);
    EXPECT_EQ(open(WAVE_MAPPER, Pcm()), open(0, Pcm()));  // with no server the mapper is device 0, which refuses
    EXPECT_EQ(open(7, Pcm()), MMSYSERR_BADDEVICEID);
    auto width = [](WORD b) { return WAVEFORMATEX{WAVE_FORMAT_PCM, 1, 8000, 1000u * b, WORD(b / 8), b, 0}; };
    WAVEFORMATEX isFloat = Pcm(), badAlign = Pcm();
    isFloat.wFormatTag = 3, badAlign.nBlockAlign = 4;
    for (const WAVEFORMATEX& fmt : {isFloat, badAlign, width(12), Pcm(0), Pcm(33), Pcm(1, 0), Pcm(1, 384001)})
        EXPECT_EQ(open(good, fmt), WAVERR_BADFORMAT) << fmt.nChannels << " channels, " << fmt.nSamplesPerSec << " Hz";
    for (const WAVEFORMATEX& fmt : {Pcm(32), Pcm(1, 384000)})
        EXPECT_EQ(open(good, fmt), MMSYSERR_NOERROR) << fmt.nChannels << " channels, " << fmt.nSamplesPerSec << " Hz";

    // Null, closed and foreign handles fail in both directions, and leave the header alone.
    WAVEFORMATEX f = Pcm(), w;
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    for (WORD bits : {8, 24, 32})  // outputs take any width, inputs only the 16 bits their source holds
        EXPECT_TRUE(waveOutOpen(&out, good, &(w = width(bits)), 0, 0, 0) == 0 && waveOutClose(out) == 0) << bits;
    EXPECT_EQ(waveInOpen(&in, good, &f, 0, 0, 0x50000), MMSYSERR_INVALFLAG);
    ASSERT_EQ(waveInOpen(&in, good, &f, 0, 0, CALLBACK_NULL) | waveOutOpen(&out, good, &f, 0, 0, 0), MMSYSERR_NOERROR);
    Block b;
    WAVEHDR* p = &b.hdr;
    EXPECT_EQ(waveOutReset(reinterpret_cast<HWAVEOUT>(in)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInPrepareHeader(in, p, 4), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveInClose(in) | waveOutClose(out), MMSYSERR_NOERROR);
    for (auto [i, o] : {std::pair{HWAVEIN(nullptr), HWAVEOUT(nullptr)}, std::pair{in, out}})
        for (MMRESULT r :
             {waveInPrepareHeader(i, p, kHdr), waveInAddBuffer(i, p, kHdr), waveInUnprepareHeader(i, p, kHdr),
              waveInStart(i), waveInStop(i), waveInReset(i), waveInClose(i), waveOutPrepareHeader(o, p, kHdr),
              waveOutWrite(o, p, kHdr), waveOutUnprepareHeader(o, p, kHdr), waveOutPause(o), waveOutRestart(o),
              waveOutReset(o), waveOutClose(o)})
            EXPECT_EQ(r, MMSYSERR_INVALHANDLE);
    EXPECT_EQ(b.hdr.dwFlags, 0u);
}

}  // namespace
