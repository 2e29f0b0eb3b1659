// Decoding a recording as a listening application hears it: the samples go
// through the library's KeyEngine and a CommandReader, with the reader's clock
// on stream time.
//
//     vardell::Decoder decoder(vardell::DecodeOutput::Commands, [](double seconds, std::string_view text) {
//         std::printf("%.3f %.*s\n", seconds, int(text.size()), text.data());
//     });
//     decoder.Feed(samples, count);          // 11025 Hz mono, as often as samples come
//
// A record of each key, once it has ended, tells where its tone began and ended
// and what text it gave a window:
//
//     vardell::Decoder keys(vardell::DecodeOutput::Keys, nullptr, [](const vardell::KeyRecord& r) {
//         std::printf("%c %.3f-%.3f %s\n", r.key, r.Start(), r.End(), r.text ? r.text->c_str() : "-");
//     });
//     keys.Feed(samples, count);
//     keys.Flush();                          // the end: a key still held ends here
//
// Threads: a decoder is used by one thread at a time; its sinks run inside Feed
// (or Flush).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "CommandReader.h"
#include "KeyEngine.h"
#include "VardellExport.h"

namespace vardell {

enum class DecodeOutput {
    Commands,  // every command text that the reader sends
    Keys,      // every key as the detector hands it on
};

// One key, from the start of its tone to its end.
struct KeyRecord {
    int channel = 0;  // the recording's channel, from 1; 0: its channels mixed down
    char key = 0;
    // Stream positions in samples at 11025 Hz (KeyEvent's): where the tone began, where the
    // detector decided the key, where the tone ended.
    std::uint64_t onset = 0, detected = 0, release = 0;
    // The command text that this key gave the window; nullopt when it gave none (before the
    // first start key, or once a command was abandoned at its length limit or after a pause).
    std::optional<std::string> text;

    double Start() const { return static_cast<double>(onset) / dtmf::kRate; }
    double End() const { return static_cast<double>(release) / dtmf::kRate; }
};

// seconds: stream time at the end of the block that produced `line`.
using DecodeSink = std::function<void(double seconds, std::string_view line)>;
using RecordSink = std::function<void(const KeyRecord& record)>;

// One stream of 11025 Hz mono samples, fed in pieces of any size; a final
// partial block is never decoded. The reader's gap rule runs on stream time.
class VARDELL_API Decoder {
public:
    // strict: KeyEngine's strict detection instead of the plain one. Either sink may be empty.
    Decoder(DecodeOutput output, DecodeSink sink, bool strict = false);
    Decoder(DecodeOutput output, DecodeSink sink, RecordSink records, bool strict = false);
    void Feed(const std::int16_t* samples, std::size_t count) { engine->Feed(samples, count); }
    // The end of the stream: the record of a key still held.
    void Flush() { engine->Flush(); }

private:
    double BlockEnd() const;
    void Hear(const KeyEvent& event);
    void Read(const char* text);

    DecodeOutput output;
    DecodeSink sink;
    RecordSink records;
    KeyRecord current;  // the key held
    CommandReader reader;
    std::unique_ptr<KeyEngine> engine;  // follows the keys' edges only for records, which cost a third more
};

// Decodes a whole recording held in memory.
VARDELL_API void DecodeSamples(const std::int16_t* samples, std::size_t count, DecodeOutput output,
                               const DecodeSink& sink, bool strict = false);

}  // namespace vardell
