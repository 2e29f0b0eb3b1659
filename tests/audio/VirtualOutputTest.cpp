// Playback through waveOut* on virtual output devices.
#include "TestSupport.h"

using namespace audiotest;

namespace {

using VirtualOutput = Virtual;

TEST_F(VirtualOutput, BlocksPlayInOrderAndResetHandsBackTheQueue)
{
    unsigned dev = vaudio::AddVirtualOutput("Manual", {vaudio::OutputClock::Manual});
    auto played = [dev] { return vaudio::VirtualOutputPlayed(dev); };
    Recorder rec;
    HWAVEOUT h = OpenOut(dev, rec);
    Block a(1000, 3), b(200, 2), c(50, 1);
    Write(h, a);
    Write(h, b);
    vaudio::AdvanceVirtualOutput(dev, 999);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(rec.Count(WOM_DONE), 0u);  // only once the whole block has played
    vaudio::AdvanceVirtualOutput(dev, 1);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 1));
    // One block at a time; the next one starts once the service has handed it over.
    ASSERT_TRUE(WaitFor([&] { return vaudio::AdvanceVirtualOutput(dev, 1), played().size() > 1000; }));
    vaudio::AdvanceVirtualOutput(dev, 99);
    auto p = played();
    EXPECT_TRUE(p.size() == 1100 && Bytes(p.begin(), p.begin() + 1000) == a.Head(1000) &&
                Bytes(p.begin() + 1000, p.end()) == b.Head(100));

    // Reset hands back, before it returns and in order, all that is queued; the rest is dropped.
    Write(h, c);
    EXPECT_EQ(waveOutWrite(h, &c.hdr, kHdr), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
    ASSERT_TRUE(waveOutPause(h) == MMSYSERR_NOERROR && waveOutReset(h) == MMSYSERR_NOERROR);  // which ends the pause
    EXPECT_EQ(rec.Params(WOM_DONE), (std::vector<DWORD_PTR>{a.Ptr(), b.Ptr(), c.Ptr()}));
    vaudio::AdvanceVirtualOutput(dev, 1000);
    ASSERT_EQ(played().size(), 1100u);
    ASSERT_EQ(waveOutWrite(h, &b.hdr, kHdr), MMSYSERR_NOERROR);  // written again: from its start
    vaudio::AdvanceVirtualOutput(dev, 200);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 4));
    p = played();
    EXPECT_EQ(Bytes(p.begin() + 1100, p.end()), b.Head(200));
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    EXPECT_TRUE(rec.Messages().back().first == WOM_CLOSE && !rec.onOwnThread);
}

// From WOM_DONE (as a sound object does): unprepare; after the first block queue
// another and reset, after the last close the device. An open device outlives its removal.
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
        unprepared += waveOutUnprepareHeader(h, hdr, kHdr) == MMSYSERR_NOERROR;
        if (hdr == &c.hdr)
            closed = waveOutClose(h);
        if (hdr == &a.hdr) {
            waveOutPrepareHeader(h, &b.hdr, kHdr);
            waveOutWrite(h, &b.hdr, kHdr);
            reset = waveOutReset(h);
        }
    };
    HWAVEOUT h = OpenOut(dev, rec);
    ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);  // held until the restart, then played at once
    Write(h, a);
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(rec.Count(WOM_DONE) == 0 && vaudio::VirtualOutputPlayed(dev).empty());
    ASSERT_TRUE(waveOutRestart(h) == MMSYSERR_NOERROR && rec.WaitCount(WOM_DONE, 2));
    const auto played = vaudio::VirtualOutputPlayed(dev);  // and perhaps b before the reset
    EXPECT_TRUE(played.size() >= 64 && Bytes(played.begin(), played.begin() + 64) == a.Head(64));
    EXPECT_TRUE(reset == MMSYSERR_NOERROR && unprepared == 2 && !(a.hdr.dwFlags & WHDR_PREPARED));
    vaudio::RemoveVirtualDevices();
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    Write(h, c);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 3));  // recorded after the hook, and so the close, returned
    EXPECT_TRUE(closed == MMSYSERR_NOERROR && rec.Count(WOM_CLOSE) == 1);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
}

}  // namespace
