#include "WavProblem.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include <sys/stat.h>

namespace tool {

namespace {

// Plain integer PCM in the layout CWave reads, whatever the encoding was.
constexpr const char* kConvert = "`sox in.wav -t wavpcm -e signed-integer out.wav`";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::uint32_t Little(const unsigned char* bytes, int count)
{
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

const char* FormatName(std::uint32_t tag)
{
    switch (tag) {
    case 0x0002:
        return "Microsoft ADPCM";
    case 0x0003:
        return "IEEE float";
    case 0x0006:
        return "A-law";
    case 0x0007:
        return "µ-law";
    case 0x0011:
        return "IMA ADPCM";
    case 0x0031:
        return "GSM 6.10";
    case 0x0055:
        return "MPEG layer 3";
    case 0xFFFE:
        return "extensible";
    default:
        return "unknown";
    }
}

}  // namespace

std::string WavProblem(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::strerror(errno);
    if (S_ISDIR(st.st_mode))
        return "is a directory";
    if (!S_ISREG(st.st_mode))
        return "is not a regular file";
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return std::strerror(errno);

    // The RIFF header, then the format chunk right after it: the only layout CWave reads.
    unsigned char head[36] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, file.get());
    if (got < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
        return "is not a WAV file (no RIFF/WAVE header)";
    if (got < 20 || std::memcmp(head + 12, "fmt ", 4) != 0)
        return std::string("has no format chunk right after the RIFF header; rewrite it with ") + kConvert;
    if (got < 36 || Little(head + 16, 4) < 16)
        return "has a format chunk too short for PCM";
    const std::uint32_t tag = Little(head + 20, 2);
    if (tag != 1) {
        char text[80];
        std::snprintf(text, sizeof text, "format tag 0x%04X (%s) is not plain PCM", static_cast<unsigned>(tag),
                      FormatName(tag));
        return std::string(text) + "; convert with " + kConvert;
    }
    return {};
}

}  // namespace tool
