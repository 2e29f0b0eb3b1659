// Reading and writing RIFF/WAVE files: the chunk walk, hostile sizes, Save's safety.
#include <sys/resource.h>

#include <csignal>
#include <cstring>

#include "WaveFiles.h"

using namespace wavetest;

namespace {

class WaveFile : public WaveTest {
protected:
    void SetUp() override
    {
        WaveTest::SetUp();
        wave.SetDevice(Output());
    }
    int Load(const Bytes& file) { return wave.Load(Write(file).c_str()); }
    Bytes Saved()
    {
        std::string out = Path("saved.wav");
        EXPECT_EQ(wave.Save(out.data()), 1);
        return Read(out);
    }
    CWave wave;
};

TEST_F(WaveFile, CanonicalFileLoadsAndSavesByteIdentically)
{
    const Bytes file = Canonical(Ramp(1000), {1, 2, 44100, 16});
    ASSERT_EQ(Load(file), 1);
    EXPECT_EQ(Held(wave), Ramp(1000));
    EXPECT_EQ(wave.GetChannels(), 2);
    EXPECT_EQ(wave.GetSampleRate(), 44100u);
    EXPECT_EQ(wave.GetBitsPerSample(), 16);
    EXPECT_EQ(Saved(), file);
    EXPECT_EQ(Count(), 2u);  // no temporary left beside the target

    Bytes odd = Canonical(Ramp(20));  // identifiers outside the tests survive: "RIFX", "fmtX"
    std::memcpy(odd.data(), "RIFX", 4);
    odd[15] = 'X';
    ASSERT_EQ(Load(odd), 1);
    EXPECT_EQ(Saved(), odd);
}

TEST_F(WaveFile, ChunkWalkFindsEveryDataChunkInsideTheRiffBodyAndNoMore)
{
    // The same two-chunk file with a RIFF body that ends after the first chunk.
    const Bytes appended = Patch(File({{"data", Ramp(16)}, {"data", Ramp(16, 90)}}), 4, 52);
    Bytes joined = Ramp(3, 1), huge = Ramp(100);
    for (const Bytes& part : {Ramp(40, 9), Ramp(2, 77)})
        joined.insert(joined.end(), part.begin(), part.end());
    const struct {
        const char* what;
        Bytes file;
        int result;  // -1: the device decides
        Bytes samples;
    } cases[] = {
        {"other chunks with pad bytes",
         File({{"LIST", Ramp(26, 100)}, {"junk", Ramp(5, 200)}, {"data", Ramp(64)}, {"cue ", Ramp(12, 50)}}), 1,
         Ramp(64)},
        {"odd, split and tiny final data chunks",
         File({{"data", Ramp(3, 1)}, {"fact", Ramp(4)}, {"data", Ramp(40, 9)}, {"data", Ramp(2, 77)}}), 1, joined},
        {"tiny only data chunk", Canonical(Ramp(4)), 1, Ramp(4)},
        {"chunk beyond the RIFF body", appended, 1, Ramp(16)},
        {"riffSize 0", Patch(Canonical(Ramp(16)), 4, 0), 1, {}},
        {"data and riffSize claim 4 GiB", Patch(Patch(Canonical(huge), 40, 0xFFFFFFF0u), 4, 0xFFFFFFFFu), 1, huge},
        {"skipped chunk claims 4 GiB", Patch(File({{"LIST", {}}, {"data", Ramp(10)}}), 40, 0xFFFFFFFFu), 1, {}},
        {"format chunk claims 4 GiB", Patch(Canonical(Ramp(10)), 16, 0xFFFFFFFFu), 1, {}},
        {"format fields overflow a block size", Canonical(Ramp(8), {1, 48129, 0xFFFFFFFFu, 48316}), -1, Ramp(8)},
        {"format shorter than PCM", Patch(File({}), 16, 14), 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int result = Load(c.file);
        EXPECT_EQ(c.result < 0 ? -1 : result, c.result);
        EXPECT_EQ(Held(wave), c.samples);
        EXPECT_EQ(wave.IsValid(), c.samples.empty() ? 0 : 1);
    }
}

TEST_F(WaveFile, FormatChunkSizeFindsTheNextChunkAndSaveWritesSixteen)
{
    for (std::uint32_t fmtSize : {16u, 18u, 40u, 17u}) {
        SCOPED_TRACE(fmtSize);
        ASSERT_EQ(Load(File({{"data", Ramp(34)}}, {1, 1, 8000, 8}, fmtSize)), 1);
        EXPECT_EQ(Held(wave), Ramp(34));
        EXPECT_EQ(wave.GetSampleRate(), 8000u);
        EXPECT_EQ(Saved(), Canonical(Ramp(34), {1, 1, 8000, 8}));
    }
}

TEST_F(WaveFile, HeaderFailuresEmptyTheSoundAndKeepTheRecordsRead)
{
    ASSERT_EQ(Load(Canonical(Ramp(10), {1, 2, 22050, 8})), 1);
    Bytes notWave = Canonical(Ramp(10), {1, 1, 8000, 16});
    std::memcpy(notWave.data() + 8, "WAVX", 4);
    EXPECT_EQ(Load(notWave), 0);
    EXPECT_EQ(wave.IsValid(), 0);
    EXPECT_EQ(wave.GetSize(), 0u);
    EXPECT_EQ(wave.GetSampleRate(), 22050u);                   // format record as before
    EXPECT_EQ(0, std::memcmp(Saved().data() + 8, "WAVX", 4));  // the file's first 12 bytes were kept

    EXPECT_EQ(Load(Canonical(Ramp(10), {3, 1, 48000, 32})), 0);  // not PCM
    EXPECT_EQ(wave.IsValid(), 0);
    EXPECT_EQ(wave.GetSampleRate(), 48000u);  // both records hold the file's first 36 bytes
    EXPECT_EQ(wave.GetBitsPerSample(), 32);
    Bytes notFmt = Canonical(Ramp(10), {1, 1, 16000, 16});
    std::memcpy(notFmt.data() + 12, "fxt ", 4);
    EXPECT_EQ(Load(notFmt), 0);
    EXPECT_EQ(wave.GetSampleRate(), 16000u);

    EXPECT_EQ(wave.Load(Path("missing.wav").c_str()), 0);
    EXPECT_EQ(wave.GetSampleRate(), 16000u);  // nothing read: records as before
    EXPECT_EQ(wave.Load(dir.c_str()), 0);     // a folder is no file
    EXPECT_EQ(wave.Load(nullptr), 0);

    const Bytes good = Canonical(Ramp(10));  // ends inside the header: not judged by leftovers
    ASSERT_EQ(Load(good), 1);
    for (std::size_t cut : {0u, 7u, 12u, 30u, 35u}) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(Load(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut))), 0);
        EXPECT_EQ(wave.IsValid(), 0);
    }
}

TEST_F(WaveFile, SaveWritesWellFormedFilesAndAFailedOneLeavesTheOldFileIntact)
{
    std::string out = Path("empty.wav");
    ASSERT_EQ(CWave().Save(out.data()), 1);  // never loaded
    Bytes empty(44, 0);
    empty[4] = 36, empty[16] = 16;
    std::memcpy(empty.data() + 36, "data", 4);
    EXPECT_EQ(Read(out), empty);
    std::filesystem::remove(out);

    ASSERT_EQ(Load(Canonical(Ramp(4000))), 1);
    const Bytes old = Canonical(Ramp(8, 3));
    std::string target = Write(old, "old.wav");
    struct sigaction ignore {
    }, previous{};  // writes fail past 1000 bytes: 4044 cannot be written
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
    EXPECT_EQ(Read(target), old);
    EXPECT_EQ(Count(), 2u);  // in.wav and old.wav: the temporary is gone

    std::string folder = Path("folder"), nowhere = Path("no/such/dir.wav");
    std::filesystem::create_directory(folder);
    EXPECT_EQ(wave.Save(folder.data()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(wave.Save(nowhere.data()), 0);
    EXPECT_EQ(wave.Save(nullptr), 0);
    EXPECT_EQ(Count(), 3u);
    ASSERT_EQ(wave.Save(target.data()), 1);  // with room it replaces the file
    EXPECT_EQ(Read(target), Canonical(Ramp(4000)));
}

TEST_F(WaveFile, DeviceThatCannotOpenKeepsTheSamples)
{
    wave.SetDevice(Output(OutputClock::Instant, true));
    ASSERT_EQ(Load(Canonical(Ramp(50), {1, 2, 8000, 8})), 0);
    EXPECT_EQ(wave.IsValid(), 1);
    EXPECT_EQ(Held(wave), Ramp(50));
    EXPECT_EQ(wave.GetChannels(), 2);
    EXPECT_EQ(wave.GetSampleRate(), 8000u);
    EXPECT_EQ(wave.IsStopped(), 1);
    EXPECT_EQ(wave.Play(), 0);
    EXPECT_EQ(wave.IsPlaying(), 1);
    EXPECT_EQ(wave.Stop(), 0);  // a reset on no device fails
    EXPECT_EQ(wave.IsStopped(), 1);
    wave.SetDevice(12345);  // no such device at all
    EXPECT_EQ(wave.Load(Path("in.wav").c_str()), 0);
    EXPECT_EQ(Held(wave), Ramp(50));
}

}  // namespace
