// Reading and writing RIFF/WAVE files: the chunk walk, hostile sizes, Save's safety.
#include <sys/resource.h>

#include <csignal>
#include <cstring>

#include "CWave.h"
#include "WaveFiles.h"

using namespace wavetest;

namespace {

class WaveFile : public VirtualDevices {
protected:
    void SetUp() override {
        VirtualDevices::SetUp();
        wave.SetDevice(static_cast<int>(Output()));
    }
    Bytes Samples() { return Bytes(wave.GetData(), wave.GetData() + wave.GetSize()); }
    Bytes SaveBytes() {
        std::string out = dir.File("saved.wav");
        EXPECT_EQ(wave.Save(out.data()), 1);
        return ReadFile(out);
    }
    CWave wave;
};

TEST_F(WaveFile, CanonicalFileLoadsAndSavesByteIdentically) {
    const Bytes file = Canonical(Ramp(1000), {1, 2, 44100, 16});
    ASSERT_EQ(wave.Load(dir.Write("in.wav", file).c_str()), 1);
    EXPECT_EQ(Samples(), Ramp(1000));
    EXPECT_EQ(wave.GetChannels(), 2);
    EXPECT_EQ(wave.GetSampleRate(), 44100u);
    EXPECT_EQ(wave.GetBitsPerSample(), 16);
    EXPECT_EQ(SaveBytes(), file);
    EXPECT_EQ(dir.Count(), 2u);  // no temporary left beside the target
}

TEST_F(WaveFile, IdentifiersOutsideTheTestsSurviveLoadAndSave) {
    Bytes file = Canonical(Ramp(20));
    std::memcpy(file.data(), "RIFX", 4);
    file[15] = 'X';  // "fmtX": only the first three bytes count
    ASSERT_EQ(wave.Load(dir.Write("in.wav", file).c_str()), 1);
    EXPECT_EQ(SaveBytes(), file);
}

TEST_F(WaveFile, ChunksOtherThanDataAreSkippedWithTheirPadBytes) {
    Bytes file = Header();
    PutChunk(file, "LIST", Ramp(26, 100));
    PutChunk(file, "junk", Ramp(5, 200));  // odd body, pad byte behind it
    PutChunk(file, "data", Ramp(64));
    PutChunk(file, "cue ", Ramp(12, 50));
    ASSERT_EQ(wave.Load(dir.Write("in.wav", Finish(file)).c_str()), 1);
    EXPECT_EQ(Samples(), Ramp(64));
}

TEST_F(WaveFile, DataChunksJoinInFileOrderIncludingOddAndTinyOnes) {
    Bytes file = Header();
    PutChunk(file, "data", Ramp(3, 1));  // odd: its pad byte is not a sample
    PutChunk(file, "fact", Ramp(4));
    PutChunk(file, "data", Ramp(40, 9));
    PutChunk(file, "data", Ramp(2, 77));  // the last chunk, 2 bytes
    ASSERT_EQ(wave.Load(dir.Write("in.wav", Finish(file)).c_str()), 1);
    Bytes expected = Ramp(3, 1);
    for (const Bytes& part : {Ramp(40, 9), Ramp(2, 77)}) expected.insert(expected.end(), part.begin(), part.end());
    EXPECT_EQ(Samples(), expected);
    EXPECT_EQ(wave.GetSize(), 45u);
}

TEST_F(WaveFile, TinyOnlyDataChunkIsKept) {
    ASSERT_EQ(wave.Load(dir.Write("in.wav", Canonical(Ramp(4))).c_str()), 1);
    EXPECT_EQ(Samples(), Ramp(4));
}

TEST_F(WaveFile, FormatChunkSizeFindsTheNextChunkAndSaveWritesSixteen) {
    for (std::uint32_t fmtSize : {16u, 18u, 40u, 17u}) {
        SCOPED_TRACE(fmtSize);
        Bytes file = Header({1, 1, 8000, 8}, fmtSize);
        PutChunk(file, "data", Ramp(34));
        ASSERT_EQ(wave.Load(dir.Write("in.wav", Finish(file)).c_str()), 1);
        EXPECT_EQ(Samples(), Ramp(34));
        EXPECT_EQ(wave.GetSampleRate(), 8000u);
        EXPECT_EQ(SaveBytes(), Canonical(Ramp(34), {1, 1, 8000, 8}));
    }
}

TEST_F(WaveFile, HeaderFailuresEmptyTheSoundAndKeepTheRecordsRead) {
    ASSERT_EQ(wave.Load(dir.Write("good.wav", Canonical(Ramp(10), {1, 2, 22050, 8})).c_str()), 1);

    Bytes notWave = Canonical(Ramp(10), {1, 1, 8000, 16});
    std::memcpy(notWave.data() + 8, "WAVX", 4);
    EXPECT_EQ(wave.Load(dir.Write("a.wav", notWave).c_str()), 0);
    EXPECT_EQ(wave.IsValid(), 0);
    EXPECT_EQ(wave.GetSize(), 0u);
    EXPECT_EQ(wave.GetSampleRate(), 22050u);  // format record as before
    Bytes saved = SaveBytes();
    EXPECT_EQ(0, std::memcmp(saved.data() + 8, "WAVX", 4));  // the file's first 12 bytes were kept

    Bytes floatFormat = Canonical(Ramp(10), {3, 1, 48000, 32});
    EXPECT_EQ(wave.Load(dir.Write("b.wav", floatFormat).c_str()), 0);
    EXPECT_EQ(wave.IsValid(), 0);
    EXPECT_EQ(wave.GetSampleRate(), 48000u);  // both records hold the file's first 36 bytes
    EXPECT_EQ(wave.GetBitsPerSample(), 32);

    Bytes notFmt = Canonical(Ramp(10), {1, 1, 16000, 16});
    std::memcpy(notFmt.data() + 12, "fxt ", 4);
    EXPECT_EQ(wave.Load(dir.Write("c.wav", notFmt).c_str()), 0);
    EXPECT_EQ(wave.GetSampleRate(), 16000u);

    EXPECT_EQ(wave.Load(dir.File("missing.wav").c_str()), 0);
    EXPECT_EQ(wave.GetSampleRate(), 16000u);  // nothing read: records as before
    EXPECT_EQ(wave.Load(dir.Path().c_str()), 0);  // a folder is no file
    EXPECT_EQ(wave.Load(nullptr), 0);
}

TEST_F(WaveFile, FileEndingInsideTheHeaderIsNotJudgedByLeftovers) {
    const Bytes good = Canonical(Ramp(10));
    ASSERT_EQ(wave.Load(dir.Write("good.wav", good).c_str()), 1);
    for (std::size_t cut : {0u, 7u, 12u, 30u, 35u}) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(wave.Load(dir.Write("cut.wav", Bytes(good.begin(), good.begin() + cut)).c_str()), 0);
        EXPECT_EQ(wave.IsValid(), 0);
    }
}

TEST_F(WaveFile, SizesClaimingMoreThanTheFileHoldsReadOnlyWhatIsThere) {
    // data chunk claiming almost 4 GiB, 100 bytes present; riffSize likewise.
    Bytes file = Header();
    PutId(file, "data");
    Put32(file, 0xFFFFFFF0u);
    const Bytes body = Ramp(100);
    file.insert(file.end(), body.begin(), body.end());
    std::memset(file.data() + 4, 0xFF, 4);
    ASSERT_EQ(wave.Load(dir.Write("in.wav", file).c_str()), 1);
    EXPECT_EQ(Samples(), body);

    // A skipped chunk claiming almost 4 GiB hides whatever follows it.
    Bytes skipped = Header();
    PutId(skipped, "LIST");
    Put32(skipped, 0xFFFFFFFFu);
    PutChunk(skipped, "data", Ramp(10));
    EXPECT_EQ(wave.Load(dir.Write("skip.wav", Finish(skipped)).c_str()), 1);
    EXPECT_EQ(wave.IsValid(), 0);

    // A format chunk claiming almost 4 GiB: no samples, and no loop.
    Bytes hugeFmt = Header({}, 16);
    hugeFmt[16] = hugeFmt[17] = hugeFmt[18] = hugeFmt[19] = 0xFF;
    PutChunk(hugeFmt, "data", Ramp(10));
    EXPECT_EQ(wave.Load(dir.Write("fmt.wav", Finish(hugeFmt)).c_str()), 1);
    EXPECT_EQ(wave.IsValid(), 0);

    // Format fields that overflow a block size: the device decides, nothing overflows.
    wave.Load(dir.Write("odd.wav", Canonical(Ramp(8), {1, 48129, 0xFFFFFFFFu, 48316})).c_str());
    EXPECT_EQ(Samples(), Ramp(8));

    // Shorter than the PCM record: there is no bit depth to play with.
    Bytes shortFmt = Header({}, 16);
    shortFmt[16] = 14;
    EXPECT_EQ(wave.Load(dir.Write("short.wav", Finish(shortFmt)).c_str()), 0);
    EXPECT_EQ(wave.IsValid(), 0);
}

TEST_F(WaveFile, ChunksBeyondTheRiffBodyAreIgnored) {
    Bytes file = Canonical(Ramp(16));
    PutChunk(file, "data", Ramp(16, 90));  // appended after the RIFF body
    ASSERT_EQ(wave.Load(dir.Write("in.wav", file).c_str()), 1);
    EXPECT_EQ(Samples(), Ramp(16));

    Bytes understated = Header();
    PutChunk(understated, "data", Ramp(16));
    std::memset(understated.data() + 4, 0, 4);
    ASSERT_EQ(wave.Load(dir.Write("zero.wav", understated).c_str()), 1);
    EXPECT_EQ(wave.IsValid(), 0);
}

TEST_F(WaveFile, NeverLoadedSoundSavesAnEmptyWellFormedFile) {
    CWave empty;
    std::string out = dir.File("empty.wav");
    ASSERT_EQ(empty.Save(out.data()), 1);
    Bytes expected(44, 0);
    expected[4] = 36;
    std::memcpy(expected.data() + 36, "data", 4);
    expected[16] = 16;  // the format size is always written as 16
    EXPECT_EQ(ReadFile(out), expected);
}

TEST_F(WaveFile, FailedSaveLeavesTheOldFileIntact) {
    ASSERT_EQ(wave.Load(dir.Write("in.wav", Canonical(Ramp(4000))).c_str()), 1);
    const Bytes old = Canonical(Ramp(8, 3));
    std::string target = dir.Write("old.wav", old);

    // Writes fail past 1000 bytes: the 4044-byte file cannot be written.
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = wave.Save(target.data());
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(target), old);
    EXPECT_EQ(dir.Count(), 2u);  // in.wav and old.wav: the temporary is gone

    std::string folder = dir.File("folder");
    std::filesystem::create_directory(folder);
    EXPECT_EQ(wave.Save(folder.data()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    std::string nowhere = dir.File("no/such/dir.wav");
    EXPECT_EQ(wave.Save(nowhere.data()), 0);
    EXPECT_EQ(wave.Save(nullptr), 0);
    EXPECT_EQ(dir.Count(), 3u);

    ASSERT_EQ(wave.Save(target.data()), 1);  // and with room it replaces the file
    EXPECT_EQ(ReadFile(target), Canonical(Ramp(4000)));
}

TEST_F(WaveFile, DeviceThatCannotOpenKeepsTheSamples) {
    wave.SetDevice(static_cast<int>(Output(vaudio::OutputClock::Instant, true)));
    ASSERT_EQ(wave.Load(dir.Write("in.wav", Canonical(Ramp(50), {1, 2, 8000, 8})).c_str()), 0);
    EXPECT_EQ(wave.IsValid(), 1);
    EXPECT_EQ(Samples(), Ramp(50));
    EXPECT_EQ(wave.GetChannels(), 2);
    EXPECT_EQ(wave.GetSampleRate(), 8000u);
    EXPECT_EQ(wave.IsStopped(), 1);
    EXPECT_EQ(wave.Play(), 0);
    EXPECT_EQ(wave.IsPlaying(), 1);
    EXPECT_EQ(wave.Stop(), 0);  // a reset on no device fails
    EXPECT_EQ(wave.IsStopped(), 1);

    wave.SetDevice(12345);  // no such device at all
    EXPECT_EQ(wave.Load(dir.File("in.wav").c_str()), 0);
    EXPECT_EQ(Samples(), Ramp(50));
}

}  // namespace
