// Playback through waveOut* on virtual output devices.
#include <atomic>

#include "TestSupport.h"

using namespace audiotest;

namespace {

using VirtualOutput = Virtual;

TEST_F(VirtualOutput, ManualClockHonoursOrderPauseRestartAndReset)
{
    unsigned dev = vaudio::AddVirtualOutput("Manual", {vaudio::OutputClock::Manual});
    auto played = [dev] { return vaudio::VirtualOutputPlayed(dev); };
    auto range = [&](std::ptrdiff_t from, std::ptrdiff_t to) {
        auto p = played();
        return Bytes(p.begin() + from, p.begin() + to);
    };
    Recorder rec;
    HWAVEOUT h = OpenOut(dev, rec);
    Block a(1000, 3), b(200, 2), c(50, 1);
    Write(h, a);
    Write(h, b);
    EXPECT_EQ(a.hdr.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_TRUE(played().empty());
    vaudio::AdvanceVirtualOutput(dev, 300);
    EXPECT_EQ(played(), a.Head(300));
    ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
    vaudio::AdvanceVirtualOutput(dev, 200);
    EXPECT_EQ(played().size(), 300u);
    ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
    vaudio::AdvanceVirtualOutput(dev, 699);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(rec.Count(WOM_DONE), 0u);  // only once the whole block has played
    vaudio::AdvanceVirtualOutput(dev, 1);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 1));
    // One block at a time; the next one starts once the service has handed it over.
    ASSERT_TRUE(WaitFor([&] { return vaudio::AdvanceVirtualOutput(dev, 1), played().size() > 1000; }));
    vaudio::AdvanceVirtualOutput(dev, 99);
    ASSERT_EQ(played().size(), 1100u);
    EXPECT_EQ(range(0, 1000), a.Head(1000));
    EXPECT_EQ(range(1000, 1100), b.Head(100));

    // Reset hands back, before it returns and in order, all that is queued; the rest is dropped.
    Write(h, c);
    EXPECT_EQ(waveOutWrite(h, &c.hdr, kHdr), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(h, &b.hdr, kHdr), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Params(WOM_DONE), (std::vector<DWORD_PTR>{a.Ptr(), b.Ptr(), c.Ptr()}));
    EXPECT_EQ(b.hdr.dwFlags, WHDR_PREPARED | WHDR_DONE);
    vaudio::AdvanceVirtualOutput(dev, 1000);
    EXPECT_EQ(played().size(), 1100u);
    // A block written again plays from its start.
    ASSERT_EQ(waveOutWrite(h, &b.hdr, kHdr), MMSYSERR_NOERROR);
    vaudio::AdvanceVirtualOutput(dev, 200);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 4));
    ASSERT_EQ(played().size(), 1300u);
    EXPECT_EQ(range(1100, 1300), b.Head(200));
    for (Block* x : {&a, &b, &c})
        EXPECT_EQ(waveOutUnprepareHeader(h, &x->hdr, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    auto msgs = rec.Messages();
    EXPECT_EQ(msgs.front().msg, WOM_OPEN);
    EXPECT_EQ(msgs.back().msg, WOM_CLOSE);
    for (auto& m : msgs)
        EXPECT_NE(m.thread, std::this_thread::get_id());
}

// From WOM_DONE (as a sound object does): unprepare; after the first block queue
// another and reset, after the last close the device.
TEST_F(VirtualOutput, CallbacksMayCallBackIntoTheSameDeviceAndCloseIt)
{
    unsigned dev = vaudio::AddVirtualOutput("Instant");
    Recorder rec;
    std::atomic<int> unprepared{0};
    std::atomic<MMRESULT> reset{99}, closed{99};
    Block a(64, 1), b(64, 2), c(64, 3);
    rec.hook = [&](void* hv, unsigned int msg, DWORD_PTR p1) {
        auto h = static_cast<HWAVEOUT>(hv);
        auto* hdr = reinterpret_cast<WAVEHDR*>(p1);
        if (msg != WOM_DONE)
            return;
        if (waveOutUnprepareHeader(h, hdr, kHdr) == MMSYSERR_NOERROR)
            ++unprepared;
        if (hdr == &c.hdr)
            closed = waveOutClose(h);
        if (hdr != &a.hdr)
            return;
        waveOutPrepareHeader(h, &b.hdr, kHdr);
        waveOutWrite(h, &b.hdr, kHdr);
        reset = waveOutReset(h);
    };
    HWAVEOUT h = OpenOut(dev, rec);
    Write(h, a);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 2));
    EXPECT_EQ(reset.load(), MMSYSERR_NOERROR);
    EXPECT_EQ(unprepared.load(), 2);
    EXPECT_EQ(a.hdr.dwFlags & WHDR_PREPARED, 0u);
    Write(h, c);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 3));  // recorded after the hook, and so the close, returned
    EXPECT_EQ(closed.load(), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Count(WOM_CLOSE), 1u);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(dev));
}

TEST_F(VirtualOutput, AnyIntegerPcmOpensAndAnOpenDeviceOutlivesItsRemoval)
{
    unsigned dev = vaudio::AddVirtualOutput("Fine");
    Recorder rec;
    HWAVEOUT h = nullptr;
    for (auto fmt : {Pcm(2, 44100, 16), Pcm(1, 8000, 8), Pcm(6, 48000, 24), Pcm(2, 96000, 32)}) {
        ASSERT_EQ(waveOutOpen(&h, dev, &fmt, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        EXPECT_TRUE(vaudio::VirtualOutputIsOpen(dev));
        ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(vaudio::VirtualOutputOpens(dev), 4);
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(dev));

    // Removing the devices leaves an open one working until it is closed.
    h = OpenOut(dev, rec);
    vaudio::RemoveVirtualDevices();
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    Block b(32);
    Write(h, b);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 1));
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

}  // namespace
