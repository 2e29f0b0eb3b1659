// A whole recording decoded, from its file (or pipe) to its lines and key
// records: the reading of Recording.h and one Decoder per stream, each line and
// record marked with the channel it came from. Every front end decodes through
// here, so that they all give the same lines and records.
//
//     vardell::DecodeSettings settings;
//     settings.input.channels.mode = vardell::ChannelChoice::Each;
//     vardell::ReadOutcome read = vardell::DecodeRecording("call.wav", settings, nullptr,
//         [](const vardell::KeyRecord& r) { std::printf("%d %c %.3f\n", r.channel, r.key, r.Start()); });
//
// Threads: each call decodes on the calling thread, where the sinks run; calls on
// several threads at once are independent.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "Decoder.h"
#include "Recording.h"
#include "VardellExport.h"

namespace vardell {

struct DecodeSettings {
    ReadOptions input;
    DecodeOutput output = DecodeOutput::Commands;  // what the lines hold
    bool strict = false;                           // KeyEngine's strict detection
};

// channel: as KeyRecord's; seconds and line: as a Decoder's.
using LineSink = std::function<void(int channel, double seconds, std::string_view line)>;

// Decodes `path` ("-": standard input) to `lines` and `records`, either of which may
// be empty. Lines come as their keys are decided, records as their keys end; a
// key still held at the end (or at a failure) ends there.
VARDELL_API ReadOutcome DecodeRecording(const std::string& path, const DecodeSettings& settings, const LineSink& lines,
                                        const RecordSink& records);

}  // namespace vardell
