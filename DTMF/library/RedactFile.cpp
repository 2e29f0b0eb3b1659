#include "RedactFile.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KeySpans.h"
#include "Sndfile.h"

namespace vardell {

namespace {

constexpr sf_count_t kChunkFrames = 4096;

// Formats whose samples libsndfile reads and writes back unchanged, read as the
// type that holds them: integers left-aligned in 32 bits, or floating point.
bool Lossless(int subtype)
{
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
    case SF_FORMAT_ALAC_16:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
    case SF_FORMAT_ALAC_32:
        return true;
    default:
        return false;
    }
}

std::string FormatName(int format, int command)
{
    SF_FORMAT_INFO info{format, nullptr, nullptr};
    return sf_command(nullptr, command, &info, sizeof info) == 0 && info.name ? info.name : "this format";
}

// The lossless format that a lossy input's copy takes at `path`, or 0.
int LossyCopyFormat(const std::string& path)
{
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (path == "-" || extension == ".wav")
        return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    return extension == ".flac" ? SF_FORMAT_FLAC | SF_FORMAT_PCM_24 : 0;
}

void Put(std::string& to, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        to.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

// A WAV header for a pipe, which libsndfile cannot write (it rewrites the header
// at the end); the sizes are the input's own when it states them, else unknown.
// Empty when the samples are not of WAV's.
std::string WavHeader(const SF_INFO& info)
{
    struct Kind {
        int subtype, tag, bits;
    };
    static constexpr Kind kKinds[] = {{SF_FORMAT_PCM_U8, 1, 8},  {SF_FORMAT_PCM_16, 1, 16}, {SF_FORMAT_PCM_24, 1, 24},
                                      {SF_FORMAT_PCM_32, 1, 32}, {SF_FORMAT_FLOAT, 3, 32},  {SF_FORMAT_DOUBLE, 3, 64},
                                      {SF_FORMAT_ALAW, 6, 8},    {SF_FORMAT_ULAW, 7, 8}};
    const auto kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                   [&](const Kind& k) { return k.subtype == (info.format & SF_FORMAT_SUBMASK); });
    if (kind == std::end(kKinds))
        return {};
    const bool extensible = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAVEX;
    const auto channels = static_cast<std::uint32_t>(info.channels), align = channels * kind->bits / 8;
    const std::uint32_t fmtSize = extensible ? 40 : kind->tag == 1 ? 16 : 18;
    const bool known = info.frames > 0 && static_cast<std::uint64_t>(info.frames) * align < 0xFFFFFF00u - 100;
    const std::uint32_t data = known ? static_cast<std::uint32_t>(info.frames) * align : 0xFFFFFFFFu;
    std::string header = "RIFF";
    Put(header, known ? 4 + 8 + fmtSize + 8 + data : 0xFFFFFFFFu, 4);
    header += "WAVEfmt ";
    Put(header, fmtSize, 4);
    Put(header, extensible ? 0xFFFE : kind->tag, 2);
    Put(header, channels, 2);
    Put(header, static_cast<std::uint32_t>(info.samplerate), 4);
    Put(header, static_cast<std::uint32_t>(info.samplerate) * align, 4);
    Put(header, align, 2);
    Put(header, kind->bits, 2);
    if (fmtSize > 16)
        Put(header, extensible ? 22 : 0, 2);
    if (extensible) {
        Put(header, kind->bits, 2);
        Put(header, 0, 4);  // no speaker positions
        Put(header, kind->tag, 4);
        header.append("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
    }
    header += "data";
    Put(header, data, 4);
    return header;
}

// Where the redacted frames go: a file written beside its name and renamed at
// the end, or a descriptor (standard output, a device, a pipe) written directly.
class Output {
public:
    ~Output() { Close(false); }

    RedactOutcome Open(const std::string& path, SF_INFO info, SNDFILE* in, std::string& error)
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (path == "-") {
            fd = STDOUT_FILENO;
        } else if (fs::exists(path, ec) && !fs::is_regular_file(path, ec)) {
            if (fs::is_directory(path, ec)) {
                error = "is a directory";
                return RedactOutcome::BadInput;
            }
            fd = open(path.c_str(), O_WRONLY | O_CLOEXEC), owned = fd >= 0;
        } else {
            static std::atomic<unsigned> made{0};
            temp = path + ".part-" + std::to_string(getpid()) + "-" + std::to_string(made++);
            fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666), owned = fd >= 0;
            if (fd < 0)
                temp.clear();
            final = path;
        }
        if (fd < 0) {
            error = std::strerror(errno);
            return RedactOutcome::WriteFailed;
        }
        struct stat status {};
        const bool pipe = fstat(fd, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
        const int major = info.format & SF_FORMAT_TYPEMASK;
        if (pipe && (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX)) {
            const std::string header = WavHeader(info);
            if (header.empty()) {
                error = FormatName(info.format & SF_FORMAT_SUBMASK, SFC_GET_FORMAT_INFO) +
                        " samples cannot go through a pipe in a WAV file";
                return RedactOutcome::BadInput;
            }
            if (write(fd, header.data(), header.size()) != static_cast<ssize_t>(header.size())) {
                error = std::strerror(errno);
                return RedactOutcome::WriteFailed;
            }
            info.format = SF_FORMAT_RAW | (info.format & SF_FORMAT_SUBMASK) | SF_ENDIAN_LITTLE;
        }
        {
            const std::lock_guard turn(SndfileOpening());
            file.reset(sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE));
            error = file ? "" : SndfileReason(nullptr);
        }
        if (!file) {
            if (pipe)
                error = FormatName(major, SFC_GET_FORMAT_INFO) + " cannot be written to a pipe";
            return pipe ? RedactOutcome::BadInput : RedactOutcome::WriteFailed;
        }
        sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);  // a lossy input's float copy to 24-bit FLAC
        for (int tag = SF_STR_FIRST; in && tag <= SF_STR_LAST; ++tag)
            if (const char* text = sf_get_string(in, tag))
                sf_set_string(file.get(), tag, text);
        return RedactOutcome::Done;
    }

    bool Write(const std::int32_t* frames, sf_count_t count)
    {
        return sf_writef_int(file.get(), frames, count) == count;
    }
    bool Write(const float* frames, sf_count_t count) { return sf_writef_float(file.get(), frames, count) == count; }
    bool Write(const double* frames, sf_count_t count) { return sf_writef_double(file.get(), frames, count) == count; }
    std::string Reason() const { return SndfileReason(file.get()); }

    // Finishes the output; `keep` false: a regular file is removed.
    bool Close(bool keep)
    {
        // sf_close flushes and rewrites the header: its result decides as much as the writes'.
        bool ok = !file || sf_close(file.release()) == 0;
        if (owned)
            ok = close(fd) == 0 && ok;
        owned = false, fd = -1;
        if (!temp.empty()) {
            ok = keep && ok && std::rename(temp.c_str(), final.c_str()) == 0;
            if (!ok)
                unlink(temp.c_str());
            temp.clear();
        }
        return ok;
    }

private:
    int fd = -1;
    bool owned = false;
    std::string temp, final;
    SndfilePtr file;
};

sf_count_t Read(SNDFILE* file, std::int32_t* frames, sf_count_t count)
{
    return sf_readf_int(file, frames, count);
}
sf_count_t Read(SNDFILE* file, float* frames, sf_count_t count)
{
    return sf_readf_float(file, frames, count);
}
sf_count_t Read(SNDFILE* file, double* frames, sf_count_t count)
{
    return sf_readf_double(file, frames, count);
}

template <class Sample>
RedactOutcome Pump(SNDFILE* in, const SF_INFO& info, Output& out, const RedactOptions& options,
                   const RedactedSink& sink, std::string& error)
{
    Redactor<Sample> redactor(info.channels, info.samplerate, options, sink);
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<Sample> frames(std::max<std::size_t>(kChunkFrames, redactor.Delay()) * channels);
    for (sf_count_t got; (got = Read(in, frames.data(), kChunkFrames)) > 0;) {
        const std::size_t n = redactor.Process(frames.data(), static_cast<std::size_t>(got), frames.data());
        if (!out.Write(frames.data(), static_cast<sf_count_t>(n))) {
            error = out.Reason();
            return RedactOutcome::WriteFailed;
        }
    }
    if (sf_error(in) != SF_ERR_NO_ERROR) {
        error = SndfileReason(in);
        return RedactOutcome::BadInput;
    }
    const std::size_t n = redactor.Finish(frames.data());
    if (!out.Write(frames.data(), static_cast<sf_count_t>(n))) {
        error = out.Reason();
        return RedactOutcome::WriteFailed;
    }
    return RedactOutcome::Done;
}

}  // namespace

RedactOutcome RedactFile(const std::string& in, const std::string& out, const RedactOptions& options,
                         const RedactedSink& sink, std::string& error)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (in != "-" && out != "-" && fs::equivalent(in, out, ec)) {
        error = "the output is the input itself";
        return RedactOutcome::BadInput;
    }
    SF_INFO info{};
    SndfilePtr file;
    {
        const std::lock_guard turn(SndfileOpening());
        file.reset(in == "-" ? sf_open_fd(STDIN_FILENO, SFM_READ, &info, SF_FALSE)
                             : sf_open(in.c_str(), SFM_READ, &info));
        if (!file)  // libsndfile calls a directory an unknown format
            error = fs::is_directory(in, ec) ? "is a directory" : SndfileReason(nullptr);
    }
    if (!file)
        return RedactOutcome::BadInput;
    SF_INFO written = info;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    if (!Lossless(subtype)) {
        written.format = LossyCopyFormat(out);
        if (written.format == 0) {
            error = FormatName(subtype, SFC_GET_FORMAT_INFO) +
                    " is lossy and cannot be rewritten without a new loss: name the output .wav or .flac for a "
                    "lossless copy";
            return RedactOutcome::BadInput;
        }
    }
    // Checked before the output is made, so that no empty file is left behind.
    if (error = KeySpans::Refusal(info.channels, info.samplerate); !error.empty())
        return RedactOutcome::BadInput;
    Output output;
    RedactOutcome outcome = RedactOutcome::Done;
    try {
        if ((outcome = output.Open(out, written, file.get(), error)) != RedactOutcome::Done)
            return outcome;
        if (Lossless(subtype) && subtype != SF_FORMAT_FLOAT && subtype != SF_FORMAT_DOUBLE)
            outcome = Pump<std::int32_t>(file.get(), info, output, options, sink, error);
        else if (subtype == SF_FORMAT_DOUBLE)
            outcome = Pump<double>(file.get(), info, output, options, sink, error);
        else
            outcome = Pump<float>(file.get(), info, output, options, sink, error);
    } catch (const std::invalid_argument& e) {
        error = e.what();
        outcome = RedactOutcome::BadInput;
    }
    if (!output.Close(outcome == RedactOutcome::Done) && outcome == RedactOutcome::Done) {
        error = "could not finish writing the file";
        outcome = RedactOutcome::WriteFailed;
    }
    return outcome;
}

}  // namespace vardell
