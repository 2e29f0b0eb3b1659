// Where a detected key's tone began and ended, to a few milliseconds: the
// detector decides per 256-sample block, so its own positions are a block or two
// late. The engine keeps the last blocks it classified and, once a key is decided
// or released, follows the envelope of the key's two tones through them.
// Internal to the library.
#pragma once

#include <cstdint>

#include "DtmfFacts.h"

class KeyEdges {
public:
    static constexpr int kHistoryBlocks = 8;  // covers strict mode's hold across breaks

    // Keeps a copy of the block that ends at stream position `end`.
    void Remember(const short* block, std::uint64_t end);

    // The onset of `key`'s tone, decided in the block that ends at `decided`: where
    // its envelope, followed back from that block, last rose through half its level.
    std::uint64_t Onset(char key, std::uint64_t decided) const;
    // The end of `key`'s tone, last seen in the block that ends at `lastSeen`: where
    // its envelope, followed on from that block, first fell through half its level.
    std::uint64_t Release(char key, std::uint64_t lastSeen) const;

private:
    // The tones' amplitude over the 64 samples from stream position `at`, which
    // must lie within the history.
    double Envelope(char key, std::uint64_t at) const;
    std::uint64_t Oldest() const;

    short history[kHistoryBlocks][dtmf::kBlock] = {};
    std::uint64_t newestEnd = 0;  // stream position after the newest block kept
};
