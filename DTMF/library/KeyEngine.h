// The detection road from samples to keys, free of devices, files and windows:
// 16-bit mono samples at 11025 Hz go in, in any count per call; each debounced
// DTMF key comes out with the stream position of the block that produced it. The
// live monitor and file decoding both run their samples through it.
//
//     KeyEngine engine([](char key, std::uint64_t end) { std::printf("%c at %llu\n", key, end); });
//     engine.Feed(samples, count);   // as often as samples come
//
// An event sink also hears where each key's tone began and, once it has ended,
// where it ended:
//
//     KeyEngine engine([](const KeyEvent& e) { if (e.phase == KeyEvent::Released) use(e.onset, e.release); });
//     engine.Feed(samples, count);
//     engine.Flush();                // the end of the stream releases a key still held
//
// Threads: an engine is used by one thread at a time; the sink runs inside Feed
// (or Flush), on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#if __has_include(<version>)
#include <version>
#endif
#ifdef __cpp_lib_span
#include <span>
#endif

#include "DtmfFacts.h"
#include "KeyDetector.h"
#include "VardellExport.h"

class CommandReader;
class FFT;
class KeyEdges;
class StrictKeyDetector;

// One key press; positions count samples from the start of the stream.
struct KeyEvent {
    enum Phase { Pressed, Released };
    Phase phase;
    char key;
    std::uint64_t onset;     // where the tone began (a few ms either way)
    std::uint64_t detected;  // the end of the block that decided the key, as a Sink hears it
    std::uint64_t release;   // where the tone ended, at least `detected`; Released only (else 0)
};

class VARDELL_API KeyEngine {
public:
    static constexpr int kRate = dtmf::kRate;
    static constexpr int kBlock = dtmf::kBlock;
    static constexpr int kDetectionFactor = 6;  // a tone counts above 6/2 times the noise mean

    // Receives each key and the number of samples fed up to the end of its block.
    using Sink = std::function<void(char key, std::uint64_t end)>;
    // Receives each key when it is decided (Pressed, when a Sink would) and when it
    // ends (Released, one or more blocks later). Events come in stream order.
    using EventSink = std::function<void(const KeyEvent& event)>;

    // strict: a key must also pass StrictKeyDetector's checks (see StrictDetector.h).
    explicit KeyEngine(Sink sink, bool strict = false);
    // The same keys and moments, with each key's onset and release.
    explicit KeyEngine(EventSink sink, bool strict = false);
    // The same with a borrowed 256-point analyser, which must outlive the engine.
    KeyEngine(Sink sink, FFT& fft, bool strict = false);
    ~KeyEngine();
    KeyEngine(const KeyEngine&) = delete;
    KeyEngine& operator=(const KeyEngine&) = delete;

    // Whole blocks are classified at once; the rest waits for the next call.
    void Feed(const short* samples, std::size_t count);
#ifdef __cpp_lib_span
    void Feed(std::span<const short> samples)
    {
        Feed(samples.data(), samples.size());
    }
#endif

    // The end of the stream: a key still held is released where its tone fell
    // silent, or at the end of the last whole block. A partial block is not
    // classified. Feeding may go on afterwards, as a new stretch of the stream.
    void Flush();

    // The first sample of the block being classified (during a sink call) or last classified.
    std::uint64_t BlockStart() const
    {
        return blocks == 0 ? 0 : (blocks - 1) * kBlock;
    }

    // A sink that hands every key to reader.ProcessChar.
    static Sink Into(CommandReader& reader);

private:
    void Step(const short* block);
    void Track(char classified, char handOn, char held);
    void Release();

    Sink sink;
    EventSink events;                 // set instead of `sink`: the edges are followed
    std::unique_ptr<KeyEdges> edges;  // with `events` only
    KeyEvent pressed{};               // the key held, if pressed.key
    std::uint64_t lastSeen = 0;       // the end of the last block that showed it
    std::uint64_t lastRelease = 0;
    FFT* fft;
    KeyDetector detector;
    std::unique_ptr<StrictKeyDetector> strictDetector;  // null: the classifier and its debounce alone
    std::uint64_t blocks = 0;                           // classified so far, the current one included
    std::size_t held = 0;                               // samples waiting in `partial`
    short partial[kBlock];
    short work[kBlock];
    int spectrum[kBlock / 2] = {};
};
