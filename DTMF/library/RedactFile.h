// A recording redacted into another through a Redactor, in constant memory: the
// output has the input's container, sample format, rate, channel count, length
// and text tags, and every frame outside the overwritten spans to the bit (PCM
// 8/16/24/32, float, double, u-law, A-law, FLAC, ALAC). A lossy input (MP3, Ogg,
// ADPCM, GSM, ...) cannot be rewritten without a new loss: it goes to a 32-bit
// float WAV when `out` ends in .wav or is "-", to a 24-bit FLAC when it ends in
// .flac, and is refused otherwise.
//
//     std::string error;
//     auto outcome = vardell::RedactFile("call.flac", "clean.flac", {}, [](const vardell::RedactedSpan& s) {
//         log(s.start, s.end);
//     }, error);
//
// "-" is standard input or output, which may be pipes (WAV or FLAC through them).
// A regular output file appears whole, or not at all: it is written beside its
// name and renamed when done.
//
// Threads: each call works on the calling thread, where the sink runs too; calls
// on several threads at once are independent.
#pragma once

#include <string>

#include "Redactor.h"
#include "VardellExport.h"

namespace vardell {

enum class RedactOutcome {
    Done,
    BadInput,     // the input cannot be read, or not redacted into that output: `error` says why
    WriteFailed,  // the output cannot be written: `error` says why
};

VARDELL_API RedactOutcome RedactFile(const std::string& in, const std::string& out, const RedactOptions& options,
                                     const RedactedSink& sink, std::string& error);

}  // namespace vardell
