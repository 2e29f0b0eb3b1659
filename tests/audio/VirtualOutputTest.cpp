// Playback through waveOut* on virtual output devices.
#include "TestSupport.h"

using namespace audiotest;
using namespace std::chrono_literals;

namespace {

class VirtualOutput : public ::testing::Test {
protected:
    void SetUp() override {
        vaudio::UseServerDevices(false);
        vaudio::RemoveVirtualDevices();
    }
    void TearDown() override { vaudio::RemoveVirtualDevices(); }

    HWAVEOUT Open(unsigned int dev, Recorder& rec) {
        HWAVEOUT h = nullptr;
        WAVEFORMATEX f = Mono11k();
        EXPECT_EQ(waveOutOpen(&h, dev, &f, rec.Out(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
        return h;
    }
    static void Write(HWAVEOUT h, Block& b) {
        ASSERT_EQ(waveOutPrepareHeader(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    static Block Numbered(std::size_t bytes, int seed) {
        Block b(bytes);
        for (std::size_t i = 0; i < bytes; ++i) b.data[i] = static_cast<char>(seed + int(i) * 7);
        return b;
    }
    static std::vector<std::uint8_t> Bytes(const Block& b, std::size_t from, std::size_t to) {
        return {b.data.begin() + static_cast<std::ptrdiff_t>(from), b.data.begin() + static_cast<std::ptrdiff_t>(to)};
    }
};

TEST_F(VirtualOutput, ManualClockHonoursPauseRestartAndReset) {
    unsigned dev = vaudio::AddVirtualOutput("Manual", {vaudio::OutputClock::Manual});
    Recorder rec;
    HWAVEOUT h = Open(dev, rec);
    Block b = Numbered(1000, 3);
    Write(h, b);
    EXPECT_EQ(b.hdr.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_TRUE(vaudio::VirtualOutputPlayed(dev).empty());

    vaudio::AdvanceVirtualOutput(dev, 300);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Bytes(b, 0, 300));
    ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
    vaudio::AdvanceVirtualOutput(dev, 200);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev).size(), 300u);
    ASSERT_EQ(waveOutRestart(h), MMSYSERR_NOERROR);
    vaudio::AdvanceVirtualOutput(dev, 200);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), Bytes(b, 0, 500));

    // Reset returns the block with WOM_DONE before it returns; the rest is dropped.
    EXPECT_EQ(waveOutUnprepareHeader(h, &b.hdr, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Params(WOM_DONE), std::vector<DWORD_PTR>{b.Ptr()});
    EXPECT_EQ(b.hdr.dwFlags, WHDR_PREPARED | WHDR_DONE);
    vaudio::AdvanceVirtualOutput(dev, 1000);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev).size(), 500u);

    // Played again from its start; WOM_DONE only once the whole block has played.
    ASSERT_EQ(waveOutWrite(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    vaudio::AdvanceVirtualOutput(dev, 999);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(rec.Count(WOM_DONE), 1u);
    vaudio::AdvanceVirtualOutput(dev, 1);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 2));
    auto played = vaudio::VirtualOutputPlayed(dev);
    EXPECT_EQ(std::vector<std::uint8_t>(played.begin() + 500, played.end()), Bytes(b, 0, 1000));

    ASSERT_EQ(waveOutUnprepareHeader(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    auto msgs = rec.Messages();
    EXPECT_EQ(msgs.front().msg, WOM_OPEN);
    EXPECT_EQ(msgs.back().msg, WOM_CLOSE);
    for (auto& m : msgs) EXPECT_NE(m.thread, std::this_thread::get_id());
}

TEST_F(VirtualOutput, QueuedBlocksPlayInOrderAndResetReturnsThemAll) {
    unsigned dev = vaudio::AddVirtualOutput("Instant");
    Recorder rec;
    HWAVEOUT h = Open(dev, rec);
    Block a = Numbered(100, 1), b = Numbered(200, 2), c = Numbered(50, 3);
    Write(h, a);
    Write(h, b);
    Write(h, c);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 3));
    EXPECT_EQ(rec.Params(WOM_DONE), (std::vector<DWORD_PTR>{a.Ptr(), b.Ptr(), c.Ptr()}));
    auto expect = Bytes(a, 0, 100);
    for (auto& x : {Bytes(b, 0, 200), Bytes(c, 0, 50)}) expect.insert(expect.end(), x.begin(), x.end());
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev), expect);

    // Paused: blocks wait; reset hands all of them back at once.
    ASSERT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &a.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(h, &b.hdr, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Count(WOM_DONE), 5u);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev).size(), 350u);

    // After a reset the device plays again at once.
    ASSERT_EQ(waveOutWrite(h, &c.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 6));
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualOutput, RealTimeClockTakesTheBlocksDuration) {
    unsigned dev = vaudio::AddVirtualOutput("Clocked", {vaudio::OutputClock::RealTime});
    Recorder rec;
    HWAVEOUT h = Open(dev, rec);
    Block b(2205 * 2);  // 0.2 s
    auto t0 = std::chrono::steady_clock::now();
    Write(h, b);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 1));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 180ms);
    EXPECT_EQ(vaudio::VirtualOutputPlayed(dev).size(), b.data.size());
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualOutput, CallbacksMayCallBackIntoTheSameDevice) {
    unsigned dev = vaudio::AddVirtualOutput("Instant");
    Recorder rec;
    std::atomic<int> unprepared{0};
    std::atomic<MMRESULT> resetInCallback{99};
    Block a = Numbered(64, 1), b = Numbered(64, 2);
    // Unprepare from WOM_DONE (as a sound object does), then queue the next block from there.
    rec.hook = [&](void* h, unsigned int msg, DWORD_PTR p1) {
        if (msg != WOM_DONE) return;
        auto* hdr = reinterpret_cast<WAVEHDR*>(p1);
        if (waveOutUnprepareHeader(static_cast<HWAVEOUT>(h), hdr, sizeof(WAVEHDR)) == MMSYSERR_NOERROR) ++unprepared;
        if (hdr == &a.hdr) {
            waveOutPrepareHeader(static_cast<HWAVEOUT>(h), &b.hdr, sizeof(WAVEHDR));
            waveOutWrite(static_cast<HWAVEOUT>(h), &b.hdr, sizeof(WAVEHDR));
            resetInCallback = waveOutReset(static_cast<HWAVEOUT>(h));
        }
    };
    HWAVEOUT h = Open(dev, rec);
    Write(h, a);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 2));
    EXPECT_EQ(resetInCallback.load(), MMSYSERR_NOERROR);
    EXPECT_EQ(unprepared.load(), 2);
    EXPECT_EQ(a.hdr.dwFlags & WHDR_PREPARED, 0u);
    // A reset from the caller while the service thread is idle.
    EXPECT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    rec.hook = nullptr;
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualOutput, CloseFromItsOwnCallbackEndsCleanly) {
    unsigned dev = vaudio::AddVirtualOutput("Instant");
    Recorder rec;
    std::atomic<MMRESULT> closed{99};
    Block a(64);
    rec.hook = [&](void* h, unsigned int msg, DWORD_PTR p1) {
        if (msg != WOM_DONE) return;
        waveOutUnprepareHeader(static_cast<HWAVEOUT>(h), reinterpret_cast<WAVEHDR*>(p1), sizeof(WAVEHDR));
        closed = waveOutClose(static_cast<HWAVEOUT>(h));
    };
    HWAVEOUT h = Open(dev, rec);
    Write(h, a);
    // WOM_DONE is recorded once the hook, and with it the close, has returned.
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 1));
    EXPECT_EQ(rec.Count(WOM_CLOSE), 1u);
    EXPECT_EQ(closed.load(), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(dev));
}

TEST_F(VirtualOutput, OpensAreCountedAndFailuresReported) {
    unsigned failing = vaudio::AddVirtualOutput("Refuses", {vaudio::OutputClock::Instant, true});
    unsigned dev = vaudio::AddVirtualOutput("Fine");
    Recorder rec;
    HWAVEOUT h = reinterpret_cast<HWAVEOUT>(0x1);
    WAVEFORMATEX f = Mono11k();
    EXPECT_NE(waveOutOpen(&h, failing, &f, rec.Out(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(vaudio::VirtualOutputOpens(failing), 0);

    // Any integer PCM layout opens; WAVE_MAPPER means virtual device 0 here, which refuses.
    for (auto fmt : {Pcm(2, 44100, 16), Pcm(1, 8000, 8), Pcm(6, 48000, 24), Pcm(2, 96000, 32)}) {
        ASSERT_EQ(waveOutOpen(&h, dev, &fmt, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        EXPECT_TRUE(vaudio::VirtualOutputIsOpen(dev));
        ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(vaudio::VirtualOutputOpens(dev), 4);
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(dev));
    EXPECT_NE(waveOutOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutOpen(&h, 2, &f, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);

    // Removing the devices leaves an open one working until it is closed.
    ASSERT_EQ(waveOutOpen(&h, dev, &f, rec.Out(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    vaudio::RemoveVirtualDevices();
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    Block b(32);
    Write(h, b);
    ASSERT_TRUE(rec.WaitCount(WOM_DONE, 1));
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);

    EXPECT_EQ(waveOutWrite(nullptr, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutPause(nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutRestart(nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutReset(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutUnprepareHeader(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
}

}  // namespace
