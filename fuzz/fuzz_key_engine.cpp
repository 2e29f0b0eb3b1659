// libFuzzer target: KeyEngine in both modes on arbitrary samples in arbitrary
// pieces. The input's first byte picks the mode and the pieces, the next pairs
// a few keys' tones (so that keys are reached at all), the rest is added to
// them sample for sample. Checks the events' invariants, and that the presses
// are exactly the keys and positions that a plain Sink hears.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "KeyEngine.h"
#include "Tones.h"

namespace {

void Check(bool holds)
{
    if (!holds)
        std::abort();
}

// The tones that `recipe` names, two bytes a key: key, tone length; gap, level.
std::vector<short> Tones(const std::uint8_t* recipe, std::size_t pairs)
{
    std::vector<short> samples;
    for (std::size_t k = 0; k < pairs; ++k) {
        vardell::ToneOptions options;
        options.toneMs = 10 + (recipe[2 * k] >> 4) * 8;
        options.gapMs = (recipe[2 * k + 1] & 15) * 10;
        options.levelDb = -3.0 * (recipe[2 * k + 1] >> 4);
        const auto key = vardell::GenerateTones(std::string(1, dtmf::kKeys[recipe[2 * k] & 15]), options);
        samples.insert(samples.end(), key.begin(), key.end());
    }
    return samples;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size < 1)
        return 0;
    const bool strict = bytes[0] & 1;
    const std::size_t pairs = std::min<std::size_t>((bytes[0] >> 1) & 7, (size - 1) / 2);
    std::vector<short> samples = Tones(bytes + 1, pairs);
    const std::uint8_t* rest = bytes + 1 + 2 * pairs;
    const std::size_t added = (size - 1 - 2 * pairs) / 2;
    samples.resize(std::max(samples.size(), added));
    for (std::size_t i = 0; i < added; ++i) {
        const int sum = samples[i] + static_cast<short>(rest[2 * i] | rest[2 * i + 1] << 8);
        samples[i] = static_cast<short>(std::clamp(sum, -32768, 32767));
    }

    std::vector<std::pair<char, std::uint64_t>> heard, pressed;
    KeyEngine plain([&](char key, std::uint64_t end) { heard.emplace_back(key, end); }, strict);
    std::uint64_t fed = 0, lastRelease = 0;
    KeyEvent held{};
    KeyEngine engine(
        [&](const KeyEvent& e) {
            Check(dtmf::KeyIndex(e.key) >= 0 && e.onset <= e.detected && e.detected <= fed && e.detected % 256 == 0);
            if (e.phase == KeyEvent::Pressed) {
                Check(!held.key && e.release == 0 && lastRelease <= e.onset);
                Check(pressed.empty() || pressed.back().second < e.detected);
                pressed.emplace_back(e.key, e.detected);
                held = e;
            } else {
                Check(held.key == e.key && held.onset == e.onset && held.detected == e.detected);
                Check(e.detected <= e.release && e.release <= fed);
                lastRelease = e.release;
                held = {};
            }
        },
        strict);
    std::minstd_rand pieces(bytes[0]);
    for (std::size_t at = 0, n; at < samples.size(); at += n) {
        n = std::min<std::size_t>(pieces() % 700, samples.size() - at);
        fed += n;
        engine.Feed(samples.data() + at, n);
        plain.Feed(samples.data() + at, n);
    }
    engine.Flush();
    Check(!held.key && pressed == heard);
    return 0;
}
