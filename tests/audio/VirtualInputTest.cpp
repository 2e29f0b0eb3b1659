// Capture through waveIn* on virtual input devices.
#include "TestSupport.h"

using namespace audiotest;
using namespace std::chrono_literals;

namespace {

class VirtualInput : public ::testing::Test {
protected:
    void SetUp() override {
        vaudio::UseServerDevices(false);
        vaudio::RemoveVirtualDevices();
    }
    void TearDown() override { vaudio::RemoveVirtualDevices(); }

    HWAVEIN Open(unsigned int dev, Recorder& rec) {
        HWAVEIN h = nullptr;
        WAVEFORMATEX f = Mono11k();
        EXPECT_EQ(waveInOpen(&h, dev, &f, rec.In(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
        return h;
    }
    static void Add(HWAVEIN h, Block& b) {
        ASSERT_EQ(waveInPrepareHeader(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
};

TEST_F(VirtualInput, DevicesAreNumberedInRegistrationOrderWithNamesCutTo31) {
    EXPECT_EQ(waveInGetNumDevs(), 0u);
    const std::string longName(40, 'x');
    EXPECT_EQ(vaudio::AddVirtualInput("Alpha", {}), 0u);
    EXPECT_EQ(vaudio::AddVirtualInput(longName, {}), 1u);
    vaudio::AddVirtualOutput("Speaker");
    EXPECT_EQ(waveInGetNumDevs(), 2u);
    EXPECT_EQ(waveOutGetNumDevs(), 1u);

    WAVEINCAPSA caps{};
    ASSERT_EQ(waveInGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, "Alpha");
    ASSERT_EQ(waveInGetDevCapsA(1, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(caps.szPname), longName.substr(0, 31));
    EXPECT_EQ(waveInGetDevCapsA(2, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
    EXPECT_NE(waveInGetDevCapsA(0, nullptr, sizeof caps), MMSYSERR_NOERROR);

    WAVEOUTCAPSA ocaps{};
    ASSERT_EQ(waveOutGetDevCapsA(0, &ocaps, sizeof ocaps), MMSYSERR_NOERROR);
    EXPECT_STREQ(ocaps.szPname, "Speaker");
}

TEST_F(VirtualInput, BuffersAreFilledInOrderOnAServiceThread) {
    auto source = Ramp(4 * 256);
    unsigned dev = vaudio::AddVirtualInput("Mic", source);
    Recorder rec;
    HWAVEIN h = Open(dev, rec);
    ASSERT_NE(h, nullptr);
    Block b0(512), b1(512), b2(512);
    Add(h, b0);
    Add(h, b1);
    Add(h, b2);
    EXPECT_EQ(b0.hdr.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WIM_DATA, 3));

    EXPECT_EQ(rec.Params(WIM_DATA), (std::vector<DWORD_PTR>{b0.Ptr(), b1.Ptr(), b2.Ptr()}));
    Block* blocks[] = {&b0, &b1, &b2};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(blocks[i]->hdr.dwBytesRecorded, 512u);
        EXPECT_EQ(blocks[i]->hdr.dwFlags, WHDR_PREPARED | WHDR_DONE);
        EXPECT_EQ(blocks[i]->Samples(), std::vector<std::int16_t>(source.begin() + i * 256, source.begin() + (i + 1) * 256));
    }
    auto msgs = rec.Messages();
    EXPECT_EQ(msgs.front().msg, WIM_OPEN);
    for (auto& m : msgs) EXPECT_NE(m.thread, std::this_thread::get_id());

    // A buffer given back is filled with what comes next.
    ASSERT_EQ(waveInAddBuffer(h, &b0.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WIM_DATA, 4));
    EXPECT_EQ(b0.Samples(), std::vector<std::int16_t>(source.begin() + 768, source.end()));

    EXPECT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Messages().back().msg, WIM_CLOSE);
}

TEST_F(VirtualInput, ResetReturnsEveryPendingBufferBeforeItReturns) {
    unsigned dev = vaudio::AddVirtualInput("Empty", {});
    Recorder rec;
    HWAVEIN h = Open(dev, rec);
    Block b[3] = {Block(512), Block(512), Block(512)};
    for (auto& x : b) Add(h, x);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);

    // Queued buffers block close and unprepare.
    EXPECT_EQ(waveInClose(h), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInUnprepareHeader(h, &b[0].hdr, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);

    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(rec.Params(WIM_DATA), (std::vector<DWORD_PTR>{b[0].Ptr(), b[1].Ptr(), b[2].Ptr()}));
    for (auto& x : b) {
        EXPECT_EQ(x.hdr.dwFlags, WHDR_PREPARED | WHDR_DONE);
        EXPECT_EQ(x.hdr.dwBytesRecorded, 0u);
        EXPECT_EQ(waveInUnprepareHeader(h, &x.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(x.hdr.dwFlags, WHDR_DONE);
        EXPECT_EQ(waveInUnprepareHeader(h, &x.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);  // already unprepared
        EXPECT_EQ(waveInAddBuffer(h, &x.hdr, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    }
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualInput, StopReturnsOnlyThePartlyFilledBuffer) {
    unsigned dev = vaudio::AddVirtualInput("Short", Ramp(100));
    Recorder rec;
    HWAVEIN h = Open(dev, rec);
    Block a(1024), b(512);
    Add(h, a);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    // 100 samples, then silence padding to the end of the buffer.
    ASSERT_TRUE(rec.WaitCount(WIM_DATA, 1));
    EXPECT_EQ(a.hdr.dwBytesRecorded, 1024u);
    auto s = a.Samples();
    EXPECT_EQ(std::vector<std::int16_t>(s.begin(), s.begin() + 100), Ramp(100));
    EXPECT_EQ(std::vector<std::int16_t>(s.begin() + 100, s.end()), std::vector<std::int16_t>(412, 0));

    // The source has ended: a new buffer waits, a stop leaves an empty buffer queued.
    Add(h, b);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rec.Count(WIM_DATA), 1u);
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    EXPECT_EQ(b.hdr.dwFlags & WHDR_INQUEUE, WHDR_INQUEUE);

    // Fed samples go into the waiting buffer once capture runs again.
    auto more = Ramp(256, 500);
    vaudio::FeedVirtualInput(dev, more);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WIM_DATA, 2));
    EXPECT_EQ(b.Samples(), more);
    EXPECT_EQ(vaudio::VirtualInputDelivered(dev), 356u);
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualInput, RealTimePacingDeliversOneBlockPerPeriodThenSilence) {
    unsigned dev = vaudio::AddVirtualInput("Live", Ramp(256), {vaudio::Pacing::RealTime});
    Recorder rec;
    HWAVEIN h = Open(dev, rec);
    std::vector<Block> blocks;
    blocks.reserve(4);
    for (int i = 0; i < 4; ++i) Add(h, blocks.emplace_back(512));
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WIM_DATA, 4));
    // Four 23.2 ms periods; only a lower bound, the machine may be slow.
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 85ms);
    EXPECT_EQ(blocks[0].Samples(), Ramp(256));
    EXPECT_EQ(blocks[3].Samples(), std::vector<std::int16_t>(256, 0));
    EXPECT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualInput, CallbackThatAddsTheBufferBackKeepsCaptureGoing) {
    const std::size_t blocks = 40;
    auto source = Ramp(blocks * 256);
    unsigned dev = vaudio::AddVirtualInput("Loop", source);
    Recorder rec;
    std::vector<std::int16_t> got;
    std::mutex gotMutex;
    rec.hook = [&](void* h, unsigned int msg, DWORD_PTR p1) {
        if (msg != WIM_DATA) return;
        auto* hdr = reinterpret_cast<WAVEHDR*>(p1);
        {
            std::lock_guard lk(gotMutex);
            auto* s = reinterpret_cast<std::int16_t*>(hdr->lpData);
            got.insert(got.end(), s, s + hdr->dwBytesRecorded / 2);
        }
        waveInAddBuffer(static_cast<HWAVEIN>(h), hdr, sizeof(WAVEHDR));
    };
    HWAVEIN h = Open(dev, rec);
    Block a(512), b(512);
    Add(h, a);
    Add(h, b);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WIM_DATA, blocks));
    rec.hook = nullptr;
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    std::lock_guard lk(gotMutex);
    EXPECT_EQ(std::vector<std::int16_t>(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(source.size())), source);
}

TEST_F(VirtualInput, NoCallbackAfterCloseReturns) {
    unsigned dev = vaudio::AddVirtualInput("Live", {}, {vaudio::Pacing::RealTime});
    for (int round = 0; round < 20; ++round) {
        Recorder rec;
        HWAVEIN h = Open(dev, rec);
        Block a(512), b(512);
        Add(h, a);
        Add(h, b);
        waveInStart(h);
        std::this_thread::sleep_for(std::chrono::milliseconds(round));
        ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
        auto n = rec.Messages().size();
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(rec.Messages().size(), n);
        EXPECT_EQ(rec.Messages().back().msg, WIM_CLOSE);
    }
}

TEST_F(VirtualInput, NullClosedAndForeignHandlesFail) {
    Block b(512);
    EXPECT_EQ(waveInPrepareHeader(nullptr, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(b.hdr.dwFlags, 0u);
    EXPECT_EQ(waveInAddBuffer(nullptr, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInUnprepareHeader(nullptr, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStart(nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStop(nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInReset(nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(nullptr), MMSYSERR_INVALHANDLE);

    unsigned dev = vaudio::AddVirtualInput("Mic", {});
    Recorder rec;
    HWAVEIN h = Open(dev, rec);
    // A capture handle is no playback handle.
    EXPECT_EQ(waveOutReset(reinterpret_cast<HWAVEOUT>(h)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInPrepareHeader(h, nullptr, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInPrepareHeader(h, &b.hdr, 4), MMSYSERR_INVALPARAM);
    ASSERT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInPrepareHeader(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStart(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(rec.Messages().back().msg, WIM_CLOSE);
}

TEST_F(VirtualInput, OpenFailuresLeaveTheHandleNull) {
    Recorder rec;
    WAVEFORMATEX f = Mono11k();
    HWAVEIN h = reinterpret_cast<HWAVEIN>(0x1);
    EXPECT_NE(waveInOpen(&h, WAVE_MAPPER, &f, rec.In(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    EXPECT_EQ(h, nullptr);

    vaudio::AddVirtualInput("Broken", {}, {vaudio::Pacing::AsFastAsBuffers, true});
    unsigned good = vaudio::AddVirtualInput("Good", {});
    EXPECT_NE(waveInOpen(&h, 0, &f, rec.In(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(waveInOpen(&h, 7, &f, rec.In(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveInOpen(nullptr, good, &f, rec.In(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(&h, good, &f, 0, 0, 0x50000), MMSYSERR_INVALFLAG);

    WAVEFORMATEX bad = f;
    bad.wFormatTag = 3;  // float
    EXPECT_EQ(waveInOpen(&h, good, &bad, rec.In(), rec.Self(), CALLBACK_FUNCTION), WAVERR_BADFORMAT);
    bad = f;
    bad.nBlockAlign = 3;
    EXPECT_EQ(waveInOpen(&h, good, &bad, rec.In(), rec.Self(), CALLBACK_FUNCTION), WAVERR_BADFORMAT);
    EXPECT_EQ(rec.Messages().size(), 0u);

    // The mapper falls back to virtual device 0, which refuses here.
    EXPECT_NE(waveInOpen(&h, WAVE_MAPPER, &f, rec.In(), rec.Self(), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInOpen(&h, good, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

TEST_F(VirtualInput, WavFileSource) {
    // 16-bit mono PCM, 300 samples, written by hand.
    auto samples = Ramp(300, 7);
    std::string path = ::testing::TempDir() + "/vinput.wav";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        auto u32 = [&](std::uint32_t v) { std::fwrite(&v, 4, 1, f); };
        auto u16 = [&](std::uint16_t v) { std::fwrite(&v, 2, 1, f); };
        std::fwrite("RIFF", 1, 4, f);
        u32(36 + 600);
        std::fwrite("WAVEfmt ", 1, 8, f);
        u32(16), u16(1), u16(1), u32(11025), u32(22050), u16(2), u16(16);
        std::fwrite("data", 1, 4, f);
        u32(600);
        std::fwrite(samples.data(), 2, samples.size(), f);
        std::fclose(f);
    }
    EXPECT_EQ(vaudio::AddVirtualInputFile("Missing", path + ".none"), WAVE_MAPPER);
    unsigned dev = vaudio::AddVirtualInputFile("File", path);
    ASSERT_EQ(dev, 0u);
    Recorder rec;
    HWAVEIN h = Open(dev, rec);
    Block a(600);
    Add(h, a);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_TRUE(rec.WaitCount(WIM_DATA, 1));
    EXPECT_EQ(a.Samples(), samples);
    waveInReset(h);
    waveInClose(h);
}

}  // namespace
