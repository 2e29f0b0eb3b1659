// CWave: the chunk walk and hostile headers, Save's safety, playback against what a virtual device played, copies, Mix.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "CWave.h"
#include "VirtualAudio.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace vaudio;

// Writes `v` as `n` little-endian bytes at `at`, by default at the end.
Bytes Put(Bytes b, std::uint32_t v, int n = 4, std::size_t at = SIZE_MAX)
{
    if (at == SIZE_MAX)
        at = b.size(), b.resize(b.size() + n);
    for (int i = 0; i < n; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return b;
}
Bytes Ramp(std::size_t n, std::uint8_t start = 0)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(start + i * 7);
    return b;
}
Bytes Words(std::initializer_list<int> samples)
{
    Bytes b;
    for (int s : samples)
        b = Put(b, static_cast<std::uint16_t>(s), 2);
    return b;
}

struct Format {
    std::uint32_t tag = 1, channels = 1, rate = 11025, bits = 16;
};

// "RIFF", a format chunk of `fmtSize` bytes (16 PCM bytes, then zeros), then the
// chunks, each after a pad byte if the last body was odd; riffSize fits exactly.
Bytes File(const std::vector<std::pair<const char*, Bytes>>& chunks, Format f = {}, std::uint32_t fmtSize = 16)
{
    Bytes b{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    const auto align = static_cast<std::uint16_t>(f.channels * f.bits / 8);
    b = Put(Put(Put(Put(Put(Put(Put(b, fmtSize), f.tag, 2), f.channels, 2), f.rate), f.rate * align), align, 2), f.bits,
            2);
    b.resize(b.size() + fmtSize - 16, 0);
    for (const auto& [id, body] : chunks) {
        b.resize(b.size() + b.size() % 2, 0);
        b.insert(b.end(), id, id + 4);
        b = Put(b, static_cast<std::uint32_t>(body.size()));
        b.insert(b.end(), body.begin(), body.end());
    }
    return Put(b, static_cast<std::uint32_t>(b.size() - 8), 4, 4);
}

// Virtual output devices only, numbered from 0 in the order a test adds them.
class WaveTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveVirtualDevices(), UseServerDevices(false), create_directory(dir); }
    void TearDown() override { RemoveVirtualDevices(), std::filesystem::remove_all(dir); }
    static Bytes Canonical(const Bytes& samples, Format f = {}) { return File({{"data", samples}}, f); }
    static Bytes Rename(Bytes b, std::size_t at, const void* id) { return std::memcpy(&b[at], id, 4), b; }
    static Bytes Held(CWave& w) { return w.GetData() ? Bytes(w.GetData(), w.GetData() + w.GetSize()) : Bytes(); }
    // A sound whose device cannot open: Load fails, the samples stay, and it stays Stopped.
    void Fill(CWave& w, const Bytes& samples, Format f = {})
    {
        w.SetDevice(AddVirtualOutput("out", {.failOpen = true}));
        EXPECT_TRUE(w.Load(Write(Canonical(samples, f)).c_str()) == 0 && Held(w) == samples);
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    std::string Write(const Bytes& bytes, const char* name = "in.wav") const
    {
        std::ofstream(Path(name)).write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
        return Path(name);
    }
    static Bytes Read(const std::string& p) { return {std::istreambuf_iterator<char>(std::ifstream(p).rdbuf()), {}}; }
    int Load(CWave& w, const Bytes& file) { return w.Load(Write(file).c_str()); }
    Bytes Saved(CWave& w) { return w.Save(Path("saved.wav").data()) == 1 ? Read(Path("saved.wav")) : Bytes{}; }
    std::filesystem::path dir = testing::TempDir() + "vardell-wave-" + std::to_string(getpid());
};

// Each file replaces a loaded sound. What loads saves back as one data chunk with the
// identifiers it came with; a failed Load leaves the sound empty and the format as far as read.
TEST_F(WaveTest, ChunkWalkAndHeaderChecksThenSaveWritesItBackSafely)
{
    CWave wave;
    wave.SetDevice(AddVirtualOutput("out"));
    const Bytes huge = Ramp(100), good = Canonical(Ramp(10));
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
        {"other chunks", File({{"LIST", Ramp(26)}, {"junk", Ramp(5)}, {"data", Ramp(64)}}), 1, Ramp(64)},
        {"odd, split and tiny data chunks",
         File({{"data", Ramp(3)}, {"fact", Ramp(4)}, {"data", Ramp(40, 21)}, {"data", Ramp(2, 45)}}), 1, Ramp(45)},
        {"chunk beyond the RIFF body", Put(File({{"data", Ramp(16)}, {"data", Ramp(16, 90)}}), 52, 4, 4), 1, Ramp(16)},
        {"riffSize 0", Put(Canonical(Ramp(16)), 0, 4, 4), 1, {}},
        {"data and riffSize claim 4 GiB", Put(Put(Canonical(huge), 0xFFFFFFF0u, 4, 40), 0xFFFFFFFFu, 4, 4), 1, huge},
        {"skipped chunk claims 4 GiB", Put(File({{"LIST", {}}, {"data", Ramp(10)}}), 0xFFFFFFFFu, 4, 40), 1, {}},
        {"format chunk claims 4 GiB", Put(Canonical(Ramp(10)), 0xFFFFFFFFu, 4, 16), 1, {}},
        {"format fields overflow a block size", Canonical(Ramp(8), wide), -1, Ramp(8), wide},
        {"format chunk of 17", File({{"data", Ramp(34)}}, eight, 17), 1, Ramp(34), eight},
        {"format shorter than PCM", Put(File({}), 14, 4, 16), 0, {}},
        {"form type", Rename(Canonical(Ramp(10), eight), 8, "WAVX"), 0, {}},
        {"not PCM", Canonical(Ramp(10), {3, 1, 48000, 32}), 0, {}, {3, 1, 48000, 32}},
        {"format identifier", Rename(Canonical(Ramp(10), eight), 12, "fxt "), 0, {}, eight},
        {"cut at 12", Bytes(good.begin(), good.begin() + 12), 0, {}, {0, 0, 0, 0}},
        {"cut at 35", Bytes(good.begin(), good.begin() + 35), 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Load(wave, good), 1);
        const int result = Load(wave, c.file);
        EXPECT_EQ(c.result < 0 ? -1 : result, c.result);
        EXPECT_TRUE(Held(wave) == c.samples && wave.IsValid() == !c.samples.empty() &&
                    wave.GetSampleRate() == c.format.rate);
        if (c.result == 0)
            continue;
        EXPECT_EQ(Saved(wave), Rename(Rename(Canonical(c.samples, c.format), 0, &c.file[0]), 12, &c.file[12]));
    }
    ASSERT_EQ(Load(wave, Canonical(Ramp(10), eight)), 1);
    EXPECT_EQ(wave.Load(Path("missing.wav").c_str()) + wave.Load(dir.c_str()) + wave.Load(nullptr), 0);
    EXPECT_TRUE(wave.IsValid() == 0 && wave.GetSize() == 0 && wave.GetSampleRate() == 8000);

    // Save replaces a file only once every byte is written, keeping its permissions.
    ASSERT_EQ(Load(wave, Canonical(Ramp(4000))), 1);
    std::string target = Write(Canonical(Ramp(8, 3)), "old.wav"), folder = dir.string(),
                nowhere = Path("no/such/dir.wav");
    std::filesystem::permissions(target, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);  // writes fail past 1000 bytes: 4044 cannot be written
    rlimit saved{}, small{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved) + setrlimit(RLIMIT_FSIZE, &(small = {1000, saved.rlim_max})), 0);
    const int result = wave.Save(target.data());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    EXPECT_TRUE(result == 0 && Read(target) == Canonical(Ramp(8, 3)));
    EXPECT_EQ(wave.Save(folder.data()) + wave.Save(nowhere.data()) + wave.Save(nullptr), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 3);  // no temporaries
    ASSERT_EQ(wave.Save(target.data()), 1);
    EXPECT_TRUE(Read(target) == Canonical(Ramp(4000)) &&
                std::filesystem::status(target).permissions() == std::filesystem::perms(0600));
}

// Random Play/Pause/Stop/Load and device progress against a model of the flags
// and of every byte the device must have played.
TEST_F(WaveTest, RandomOperationSequencesFollowTheStateTable)
{
    const Bytes sound = Ramp(1000);
    const unsigned dev = AddVirtualOutput("out", {OutputClock::Manual});
    CWave wave, other;
    Fill(other, sound);
    wave.SetDevice(dev);
    ASSERT_EQ(Load(wave, Canonical(sound)), 1);
    bool stopped = true, paused = false, queued = false;
    std::size_t pos = 0;
    Bytes played;
    std::mt19937 rng(12);
    for (int step = 0; step < 600; ++step) {
        const unsigned op = rng() % 5;
        SCOPED_TRACE(testing::Message() << "step " << step << " op " << op);
        if (op == 0) {
            EXPECT_EQ(wave.Play(), 1);
            queued = queued || stopped, pos = stopped ? 0 : pos;  // queued anew, also when stopped while paused
            stopped = paused = false;
        } else if (op == 1) {
            EXPECT_EQ(wave.Pause(), 1);
            paused = paused || !stopped;
        } else if (op != 3) {  // Stop, or Load, which closes the device and opens it again
            EXPECT_EQ(op == 2 ? wave.Stop() : Load(wave, Canonical(sound)), 1);
            stopped = true, queued = false, paused = paused && op == 2;
        } else {
            const std::size_t n = rng() % 400, take = queued && !paused ? std::min(n, sound.size() - pos) : 0;
            AdvanceVirtualOutput(dev, n);
            played.insert(played.end(), sound.begin() + long(pos), sound.begin() + long(pos + take));
            pos += take;
            queued = queued && pos < sound.size();  // played to its end, yet still Playing
        }
        EXPECT_TRUE(wave.IsPlaying() == (!stopped && !paused) && wave.IsPaused() == paused &&
                    wave.IsStopped() == stopped && other.Mix(wave) == stopped &&
                    (stopped || wave.Mix(other) == 0));  // only stopped sounds mix
        ASSERT_EQ(VirtualOutputPlayed(dev), played);
    }
}

// A sound without samples plays nothing. SetDevice takes effect at the next Load; copies
// own their samples and open the device the source has open, and close it when they go.
TEST_F(WaveTest, DeviceChangesAtTheNextLoadAndCopiesOwnWhatTheyHold)
{
    const Bytes sound = Ramp(1024);  // twice over is Ramp(2048)
    const unsigned first = AddVirtualOutput("a"), second = AddVirtualOutput("b");
    CWave wave, assigned;
    wave.SetDevice(first);
    ASSERT_EQ(Load(wave, File({{"LIST", Ramp(8)}})), 1);
    EXPECT_TRUE(wave.IsValid() == 0 && wave.Play() == 1 && wave.Pause() == 1 && wave.IsStopped() == 1);
    ASSERT_EQ(Load(wave, Canonical(sound, {1, 2, 8000, 16})), 1);
    wave.SetDevice(second);
    EXPECT_TRUE(wave.Play() == 1 && !VirtualOutputIsOpen(second));
    {
        CWave copy(wave);
        EXPECT_TRUE(copy.IsStopped() == 1 && copy.GetChannels() == 2 && copy.GetSampleRate() == 8000u);
        copy.GetData()[0] = 99;
        ASSERT_EQ(copy.Play(), 1);
        EXPECT_EQ(VirtualOutputPlayed(first), Put(Ramp(2048), 99, 1, 1024));
        EXPECT_TRUE(copy.Load(Path("in.wav").c_str()) == 1 && VirtualOutputIsOpen(second));  // where SetDevice said
    }
    ASSERT_TRUE(!VirtualOutputIsOpen(second) && wave.Load(Path("in.wav").c_str()) == 1);  // the copy closed; wave moves
    EXPECT_TRUE(!VirtualOutputIsOpen(first) && wave.Play() == 1 && VirtualOutputPlayed(second) == sound);

    assigned.SetDevice(first);
    ASSERT_TRUE(assigned.Load(Path("in.wav").c_str()) == 1 && assigned.Play() == 1 && assigned.Pause() == 1);
    assigned = wave;
    EXPECT_TRUE(assigned.IsStopped() == 1 && assigned.IsPaused() == 0 && !VirtualOutputIsOpen(first));
    assigned.operator=(assigned);  // spelled out: a plain self-assignment draws a compiler warning
    EXPECT_TRUE(Held(assigned) == sound && VirtualOutputOpens(second) == 3);  // self-assignment opened nothing
    Fill(assigned, Ramp(10));
    EXPECT_EQ(CWave(assigned).Play(), 0);  // the source has no device open, so neither has the copy
}

TEST_F(WaveTest, MixAveragesBoostsOrPicksTheLouderOverTheShorterLengthAndRefusesMismatches)
{
    const Format eight{1, 1, 8000, 8}, stereo{1, 2, 11025, 16}, slow{1, 1, 8000, 16};
    const Bytes some = Words({1000, 2000});
    const struct {
        Bytes other, self, mixed;
        Format format = {}, otherFormat = {};
        int result = 1, itself = 0;  // itself: 8 bits average and boost, 16 bits double only quiet samples
    } cases[] = {
        // The 16638/16126 pairs lie just above 0.25 in exact arithmetic but round to it
        // in single precision, so they are not summed.
        {Words({1000, 100, -30000, 16383, 16384, -20000, 16638, 16126, 0, -1}),
         Words({2000, -200, 100, 16384, 16384, 20000, 16126, 16638, 0, 1}),
         Words({3000, -100, -30000, 32767, 16384, 20000, 16638, 16638, 0, 0})},
        {{128, 255, 197, 0, 100, 196}, {128, 255, 197, 0, 50, 196}, {166, 255, 255, 0, 97, 255}, eight, eight},
        {{1, 2, 3}, {10, 20, 30, 40}, {6, 14, 20, 40}, eight, eight},
        {Words({100, 100, 100, 100, 7}), Words({50, 50, 50}), Words({150, 150, 150})},
        {Words({100, 100, 100}), {50, 0, 50, 0, 9}, {150, 0, 150, 0, 9}},  // odd byte count
        {Ramp(12, 40), Ramp(12), Ramp(12), {1, 1, 8000, 24}, {1, 1, 8000, 24}},
        {some, some, some, {}, stereo, 0},
        {some, some, some, {}, slow, 0},
        {some, some, some, {}, eight, 0},
        {{}, some, some, {}, {}, 0},
        {some, {}, {}, {}, {}, 0},
        {{}, {10, 100, 150, 200}, {13, 130, 195, 255}, eight, {}, 1, true},
        {{}, Words({1000, 16383, 16384, -32768}), Words({2000, 32766, 16384, -32768}), {}, {}, 1, true},
    };
    for (const auto& c : cases) {
        CWave other, self;
        Fill(other, c.other, c.otherFormat);
        Fill(self, c.self, c.format);
        ASSERT_EQ(self.Mix(c.itself ? self : other), c.result) << "case " << &c - cases;
        EXPECT_TRUE(Held(self) == c.mixed && Held(other) == c.other && (c.result || other.Mix(self) == 0))
            << &c - cases;
    }
}

}  // namespace
