// Synthesised key trains: what strict mode must accept and reject, while plain mode still finds every key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "KeyEngine.h"

namespace {

constexpr std::string_view kKeys = "123A456B789C*0#D";
constexpr double kRowHz[4] = {697, 770, 852, 941}, kColHz[4] = {1209, 1336, 1477, 1633};

struct Signal {
    double onMs = 100, offMs = 100, deviation = 0, twistDb = 0, levelDb = -16, snrDb = 99, breakMs = 0;
    std::string_view spoil = "";  // per block from the key's first whole one: 'x' adds a loud 2 kHz tone; n: 3n dB down
};

std::vector<short> Synthesise(const std::string& keys, const Signal& s, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> phase(0, 2 * std::numbers::pi);
    const double amp = 32767 * std::pow(10, s.levelDb / 20), high = amp * std::pow(10, s.twistDb / 20);
    std::normal_distribution<double> noise(0, amp / std::sqrt(2) / std::pow(10, s.snrDb / 20));
    std::vector<double> x(rng() % 256 + 1000, 0.0);
    for (char k : keys) {
        const double w = 2 * std::numbers::pi * (1 + s.deviation) / 11025, p1 = phase(rng), p2 = phase(rng);
        const int on = static_cast<int>(s.onMs * 11.025), gap = static_cast<int>(s.breakMs * 11.025);
        const std::size_t i = kKeys.find(k), first = (x.size() + 255) / 256 * 256;
        for (int t = 0; t < on; ++t)
            x.push_back(amp * std::sin(w * kRowHz[i / 4] * t + p1) + high * std::sin(w * kColHz[i % 4] * t + p2));
        std::fill_n(x.end() - on + (on - gap) / 2, gap, 0.0);
        for (std::size_t t = 0, n = 0; t < 256 * s.spoil.size(); ++t) {
            const int c = s.spoil[t / 256];
            n = c > '0' && c <= '9' ? std::size_t(c - '0') : n;
            x[first + t] = x[first + t] * std::pow(10, -0.15 * n) + (c == 'x' ? amp * std::sin(w * 2000 * t) : 0);
        }
        x.resize(x.size() + static_cast<std::size_t>(s.offMs * 11.025), 0.0);
    }
    std::vector<short> out(x.size() + 2000);
    std::ranges::transform(x, out.begin(), [&](double v) { return static_cast<short>(std::lround(v + noise(rng))); });
    return out;
}

std::string Decode(const std::vector<short>& samples, bool strict)
{
    std::string keys;
    KeyEngine([&keys](char key, std::uint64_t) { keys += key; }, strict).Feed(samples);
    return keys;
}

TEST(StrictDetection, AcceptsAndRejectsWhatItMustWhilePlainModeStillFindsEveryKey)
{
    const std::string keys = "1472369*0#58ABCD", pairs = "1122334455667788";
    const struct {
        const char* what;
        Signal signal;
        std::string sent, strict;  // strict: what strict mode must find, "" for nothing
    } rows[] = {
        {"+1.5 %", {.deviation = 0.015}, keys, keys},
        {"twist +4", {.twistDb = 4}, keys, keys},
        {"twist -8", {.twistDb = -8}, keys, keys},
        {"6 dB SNR", {.snrDb = 6}, keys, keys},
        {"-46 dBFS", {.levelDb = -46}, keys, keys},
        {"50 ms", {.onMs = 50}, keys, keys},
        {"10 ms break", {.onMs = 150, .breakMs = 10}, keys, keys},
        {"40 ms pause", {.offMs = 40}, pairs, pairs},
        // Held across 2 spoiled blocks, twice; released by the third in a row; found again, held as it fades and
        // across one more spoiled block: a release measures the drop from the last clean block.
        {"spoiled blocks", {.onMs = 600, .spoil = "..xx..xx..xxx..2468x.."}, keys, "11447722336699**00##5588AABBCCDD"},
        {"+3.5 %", {.deviation = 0.035}, keys, ""},
        {"-3.5 %", {.deviation = -0.035}, keys, ""},
        {"23 ms", {.onMs = 23}, keys, ""},
        {"-61 dBFS", {.levelDb = -61}, keys, ""},
    };
    // Plain mode finds every key, perhaps doubled across a break, and nothing else.
    const auto once = [](std::string s) { return s.erase(std::unique(s.begin(), s.end()) - s.begin()); };
    unsigned seed = 1;
    for (const auto& row : rows) {
        for (int run = 0; run < 3; ++run) {
            const auto samples = Synthesise(row.sent, row.signal, seed++);
            EXPECT_EQ(Decode(samples, true), row.strict) << row.what;
            EXPECT_TRUE(row.strict.empty() || once(Decode(samples, false)) == once(row.sent)) << row.what;
        }
    }
}

}  // namespace
