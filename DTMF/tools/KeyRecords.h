// Key records printed for programs, one line each: tab-separated values under a
// header line, or JSON lines. The record itself is the library's (KeyRecord).
//
//     std::fputs(tool::RecordHeader(tool::RecordFormat::Tsv).c_str(), stdout);
//     std::fputs(tool::FormatRecord(tool::RecordFormat::Tsv, "call.wav", record).c_str(), stdout);
//
// Threads: any thread.
#pragma once

#include <string>
#include <string_view>

#include "Decoder.h"

namespace tool {

enum class RecordFormat { Tsv, Jsonl };

// The line before the records: the TSV column names; nothing for JSON lines.
std::string RecordHeader(RecordFormat format);

// One record, newline included. In TSV a missing channel or text is an empty
// field, and \, tab, newline and carriage return in the file name are written
// \\, \t, \n and \r; in JSON they are null, and the name is a JSON string (bytes
// that are not UTF-8 become U+FFFD).
std::string FormatRecord(RecordFormat format, std::string_view file, const vardell::KeyRecord& record);

// `text` as a JSON string, appended to `out` (bytes that are not UTF-8 become U+FFFD).
void AppendJson(std::string& out, std::string_view text);

}  // namespace tool
