#include "KeyRecords.h"

#include <cstdint>
#include <cstdio>

namespace tool {

namespace {

constexpr const char* kColumns[] = {"file", "channel", "key", "start", "end", "text"};

// The length of the valid UTF-8 sequence at `at` (two to four bytes), 0 if there is none.
std::size_t Utf8Length(std::string_view s, std::size_t at)
{
    const auto byte = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned lead = byte(at);
    const std::size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (n == 0 || lead > 0xF4 || at + n > s.size())
        return 0;
    std::uint32_t code = lead & (0x7Fu >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(at + k) & 0x3F);
    }
    constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // shorter forms are not UTF-8
    return code < kLeast[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ? 0 : n;
}

void AppendTsv(std::string& out, std::string_view text)
{
    for (const char c : text) {
        if (c == '\\' || c == '\t' || c == '\n' || c == '\r')
            out += '\\', out += c == '\\' ? '\\' : c == '\t' ? 't' : c == '\n' ? 'n' : 'r';
        else
            out += c;
    }
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

}  // namespace

void AppendJson(std::string& out, std::string_view text)
{
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\', out += static_cast<char>(c), ++i;
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : escape, ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c), ++i;
        } else if (const std::size_t n = Utf8Length(text, i)) {
            out.append(text.substr(i, n)), i += n;
        } else {
            out += "\xEF\xBF\xBD", ++i;  // U+FFFD
        }
    }
    out += '"';
}

std::string RecordHeader(RecordFormat format)
{
    std::string header;
    for (const char* column : kColumns)
        header += (header.empty() ? "" : "\t") + std::string(column);
    return format == RecordFormat::Tsv ? header + "\n" : std::string();
}

std::string FormatRecord(RecordFormat format, std::string_view file, const vardell::KeyRecord& record)
{
    const std::string channel = record.channel > 0 ? std::to_string(record.channel) : std::string();
    const std::string key(1, record.key);
    std::string line;
    if (format == RecordFormat::Tsv) {
        AppendTsv(line, file);
        for (const std::string& field :
             {channel, key, Seconds(record.Start()), Seconds(record.End()), record.text.value_or(std::string())})
            line += '\t' + field;
        return line + "\n";
    }
    const auto name = [&line](int column) { line += std::string(column ? ",\"" : "{\"") + kColumns[column] + "\":"; };
    name(0), AppendJson(line, file);
    name(1), line += channel.empty() ? "null" : channel;
    name(2), AppendJson(line, key);
    name(3), line += Seconds(record.Start());
    name(4), line += Seconds(record.End());
    name(5);
    if (record.text)
        AppendJson(line, *record.text);
    else
        line += "null";
    return line + "}\n";
}

}  // namespace tool
