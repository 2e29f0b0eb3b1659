#include "Decoder.h"

#include <utility>

namespace vardell {

Decoder::Decoder(DecodeOutput out, DecodeSink s, bool strict)
    : output(out),
      sink(std::move(s)),
      // Whole seconds of stream time at the start of the current block.
      reader([this](const char* text) { sink(BlockEnd(), text); },
             [this] { return static_cast<long long>(engine.BlockStart() / KeyEngine::kRate); }),
      engine(
          [this](char key, std::uint64_t) {
              if (output == DecodeOutput::Keys)
                  sink(BlockEnd(), std::string_view(&key, 1));
              else
                  reader.ProcessChar(key);
          },
          strict)
{
}

double Decoder::BlockEnd() const
{
    return static_cast<double>(engine.BlockStart() + KeyEngine::kBlock) / KeyEngine::kRate;
}

void DecodeSamples(const std::int16_t* samples, std::size_t count, DecodeOutput output, const DecodeSink& sink,
                   bool strict)
{
    Decoder(output, sink, strict).Feed(samples, count);
}

}  // namespace vardell
