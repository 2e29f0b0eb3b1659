// Reading and writing RIFF/WAVE files: the chunk walk, hostile sizes, Save's safety.
#include <sys/resource.h>

#include <csignal>
#include <cstring>

#include "WaveFiles.h"

using namespace wavetest;

namespace {

Bytes Rename(Bytes b, std::size_t at, const char* id)
{
    std::memcpy(b.data() + at, id, 4);
    return b;
}

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

// Each file replaces a loaded sound. What loads saves back as one data chunk with the
// identifiers it came with; a failed Load leaves the sound empty and the format as far as read.
TEST_F(WaveFile, ChunkWalkAndHeaderChecksThenSaveWritesItBack)
{
    Bytes joined = Ramp(3, 1), huge = Ramp(100), good = Canonical(Ramp(10));
    for (const Bytes& part : {Ramp(40, 9), Ramp(2, 77)})
        joined.insert(joined.end(), part.begin(), part.end());
    const Format stereo{1, 2, 44100, 16}, eight{1, 1, 8000, 8}, wide{1, 48129, 0xFFFFFFFFu, 48316};
    const struct {
        const char* what;
        Bytes file;
        int result;  // -1: the device decides
        Bytes samples;
        Format format = {};
    } cases[] = {
        {"canonical", Canonical(Ramp(1000), stereo), 1, Ramp(1000), stereo},
        {"odd identifiers", Rename(Rename(Canonical(Ramp(20)), 0, "RIFX"), 12, "fmtX"), 1, Ramp(20)},
        {"other chunks", File({{"LIST", Ramp(26)}, {"junk", Ramp(5)}, {"data", Ramp(64)}, {"cue ", Ramp(12)}}), 1,
         Ramp(64)},
        {"odd, split and tiny data chunks",
         File({{"data", Ramp(3, 1)}, {"fact", Ramp(4)}, {"data", Ramp(40, 9)}, {"data", Ramp(2, 77)}}), 1, joined},
        {"tiny only data chunk", Canonical(Ramp(4)), 1, Ramp(4)},
        {"chunk beyond the RIFF body", Put(File({{"data", Ramp(16)}, {"data", Ramp(16, 90)}}), 52, 4, 4), 1, Ramp(16)},
        {"riffSize 0", Put(Canonical(Ramp(16)), 0, 4, 4), 1, {}},
        {"data and riffSize claim 4 GiB", Put(Put(Canonical(huge), 0xFFFFFFF0u, 4, 40), 0xFFFFFFFFu, 4, 4), 1, huge},
        {"skipped chunk claims 4 GiB", Put(File({{"LIST", {}}, {"data", Ramp(10)}}), 0xFFFFFFFFu, 4, 40), 1, {}},
        {"format chunk claims 4 GiB", Put(Canonical(Ramp(10)), 0xFFFFFFFFu, 4, 16), 1, {}},
        {"format fields overflow a block size", Canonical(Ramp(8), wide), -1, Ramp(8), wide},
        {"format chunk of 18", File({{"data", Ramp(34)}}, eight, 18), 1, Ramp(34), eight},
        {"format chunk of 17", File({{"data", Ramp(34)}}, eight, 17), 1, Ramp(34), eight},
        {"format chunk of 40", File({{"data", Ramp(34)}}, eight, 40), 1, Ramp(34), eight},
        {"format shorter than PCM", Put(File({}), 14, 4, 16), 0, {}},
        {"form type", Rename(Canonical(Ramp(10), eight), 8, "WAVX"), 0, {}},
        {"not PCM", Canonical(Ramp(10), {3, 1, 48000, 32}), 0, {}, {3, 1, 48000, 32}},
        {"format identifier", Rename(Canonical(Ramp(10), eight), 12, "fxt "), 0, {}, eight},
        {"cut at 0", {}, 0, {}},
        {"cut at 7", Bytes(good.begin(), good.begin() + 7), 0, {}},
        {"cut at 12", Bytes(good.begin(), good.begin() + 12), 0, {}, {0, 0, 0, 0}},
        {"cut at 35", Bytes(good.begin(), good.begin() + 35), 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Load(good), 1);
        const int result = Load(c.file);
        EXPECT_EQ(c.result < 0 ? -1 : result, c.result);
        EXPECT_EQ(Held(wave), c.samples);
        EXPECT_EQ(wave.IsValid(), c.samples.empty() ? 0 : 1);
        EXPECT_EQ(wave.GetSampleRate(), c.format.rate);
        if (c.result == 0)
            continue;
        Bytes canonical = Put(Canonical(c.samples, c.format), std::uint32_t(36 + c.samples.size()), 4, 4);
        canonical.resize(44 + c.samples.size());  // no pad byte behind an odd body
        std::copy_n(c.file.begin(), 4, canonical.begin());
        std::copy_n(c.file.begin() + 12, 4, canonical.begin() + 12);
        EXPECT_EQ(Saved(), canonical);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);  // no temporary left behind
    for (const std::string& path : {Path("missing.wav"), dir.string()}) {
        ASSERT_EQ(Load(Canonical(Ramp(10), eight)), 1);
        EXPECT_EQ(wave.Load(path.c_str()), 0);
        EXPECT_TRUE(wave.IsValid() == 0 && wave.GetSize() == 0 && wave.GetSampleRate() == 8000);
    }
    EXPECT_EQ(wave.Load(nullptr), 0);
    EXPECT_EQ(Load(Rename(good, 8, "WAVX")), 0);
    EXPECT_EQ(0, std::memcmp(Saved().data() + 8, "WAVX", 4));  // the file's first 12 bytes were kept
}

// Save replaces a file only once every byte is written, keeping its permissions.
TEST_F(WaveFile, SaveWritesWellFormedFilesAndAFailedOneLeavesTheOldFileIntact)
{
    std::string out = Path("empty.wav"), folder = dir.string(), nowhere = Path("no/such/dir.wav");
    ASSERT_EQ(CWave().Save(out.data()), 1);  // never loaded
    EXPECT_EQ(Read(out), Rename(Put(Put(Bytes(44, 0), 36, 4, 4), 16, 4, 16), 36, "data"));

    ASSERT_EQ(Load(Canonical(Ramp(4000))), 1);
    const Bytes old = Canonical(Ramp(8, 3));
    std::string target = Write(old, "old.wav");
    std::filesystem::permissions(target, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);  // writes fail past 1000 bytes: 4044 cannot be written
    rlimit saved{}, small{1000, RLIM_INFINITY};
    getrlimit(RLIMIT_FSIZE, &saved);
    small.rlim_max = saved.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = wave.Save(target.data());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Read(target), old);
    EXPECT_EQ(wave.Save(folder.data()), 0);
    EXPECT_EQ(wave.Save(nowhere.data()), 0);
    EXPECT_EQ(wave.Save(nullptr), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 3);  // no temporaries
    ASSERT_EQ(wave.Save(target.data()), 1);                                     // with room it replaces the file
    EXPECT_EQ(Read(target), Canonical(Ramp(4000)));
    EXPECT_EQ(std::filesystem::status(target).permissions(), std::filesystem::perms(0600));
}

}  // namespace
