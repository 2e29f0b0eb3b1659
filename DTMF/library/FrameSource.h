// Interleaved frames of one recording, read piece by piece: from libsndfile, or
// by the library itself for raw samples and for WAV from a pipe, which it reads
// as they arrive so that a live input is decoded as it comes. Internal to the
// library.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "RawFormat.h"

class FrameSource {
public:
    virtual ~FrameSource() = default;

    int Rate() const { return rate; }
    int Channels() const { return channels; }
    // True when ReadShorts gives the recording's own 16-bit samples.
    bool Pcm16() const { return pcm16; }
    // Frames a read had best ask for: many from a file, few from a live input
    // that libsndfile would otherwise wait on until a large piece had come.
    std::size_t PieceFrames() const { return pieceFrames; }

    // Up to `frames` frames: from a file as many as it holds, from a pipe or a
    // terminal those that have arrived (waiting for one at least). 0: the end of
    // the samples, or a failure that Error() names.
    virtual std::size_t ReadShorts(short* out, std::size_t frames) = 0;
    virtual std::size_t ReadFloats(float* out, std::size_t frames) = 0;  // full scale +-1
    // Why reading stopped early; empty if it did not.
    virtual std::string Error() const = 0;
    // What was odd without stopping the reading; empty if nothing was.
    virtual std::string Warning() const { return {}; }

protected:
    int rate = 0, channels = 0;
    bool pcm16 = false;
    std::size_t pieceFrames = 32768;  // a read(2) of 64 KB from a 16-bit mono file
};

// Opens `path` ("-": standard input) as raw samples in `raw`, or else as its
// header says. nullptr: `error` says why.
std::unique_ptr<FrameSource> OpenFrameSource(const std::string& path, const std::optional<vardell::RawFormat>& raw,
                                             std::string& error);
