#include "Decoder.h"

#include <utility>

namespace vardell {

Decoder::Decoder(DecodeOutput out, DecodeSink s, bool strict) : Decoder(out, std::move(s), nullptr, strict) {}

Decoder::Decoder(DecodeOutput out, DecodeSink s, RecordSink r, bool strict)
    : output(out),
      sink(std::move(s)),
      records(std::move(r)),
      // Whole seconds of stream time at the start of the current block.
      reader([this](const char* text) { Read(text); },
             [this] { return static_cast<long long>(engine->BlockStart() / KeyEngine::kRate); }),
      engine(records ? std::make_unique<KeyEngine>([this](const KeyEvent& event) { Hear(event); }, strict)
                     : std::make_unique<KeyEngine>(
                           [this](char key, std::uint64_t end) {
                               Hear({KeyEvent::Pressed, key, end, end, 0});
                           },
                           strict))
{
}

double Decoder::BlockEnd() const
{
    return static_cast<double>(engine->BlockStart() + KeyEngine::kBlock) / KeyEngine::kRate;
}

// Every key goes to the reader, whatever is printed: a record carries its text.
void Decoder::Hear(const KeyEvent& event)
{
    if (event.phase == KeyEvent::Released) {
        current.release = event.release;
        if (records)
            records(current);
        return;
    }
    current = {0, event.key, event.onset, event.detected, 0, std::nullopt};
    if (output == DecodeOutput::Keys && sink)
        sink(BlockEnd(), std::string_view(&event.key, 1));
    reader.ProcessChar(event.key);
}

void Decoder::Read(const char* text)
{
    current.text = text;
    if (output == DecodeOutput::Commands && sink)
        sink(BlockEnd(), text);
}

void DecodeSamples(const std::int16_t* samples, std::size_t count, DecodeOutput output, const DecodeSink& sink,
                   bool strict)
{
    Decoder(output, sink, strict).Feed(samples, count);
}

}  // namespace vardell
