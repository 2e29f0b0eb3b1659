// The Python module `vardell`: decoding, test tones and redaction for numpy
// arrays and recordings, through the installed library. Every call that works on
// samples releases the GIL while it does, so threads decode in parallel.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "RedactFile.h"
#include "RecordingDecoder.h"
#include "Tones.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// One key, as the tool's JSON record holds it.
struct Key {
    std::string key;
    double start = 0, end = 0;        // seconds, to the millisecond
    std::optional<int> channel;       // from 1; None: the channels mixed down
    std::optional<std::string> text;  // the command text after this key, if the window got one
};

// Seconds as the tool's records print them (three decimals), so that both give equal numbers.
double Milliseconds(double seconds)
{
    char printed[32];
    std::snprintf(printed, sizeof printed, "%.3f", seconds);
    return std::strtod(printed, nullptr);
}

Key FromRecord(const vardell::KeyRecord& r)
{
    return {std::string(1, r.key), Milliseconds(r.Start()), Milliseconds(r.End()),
            r.channel == 0 ? std::nullopt : std::optional<int>(r.channel), r.text};
}

std::string KeyRepr(const Key& k)
{
    const auto quoted = [](const std::optional<std::string>& s) {
        return s ? py::repr(py::str(*s)).cast<std::string>() : std::string("None");
    };
    char times[64];
    std::snprintf(times, sizeof times, "start=%.3f, end=%.3f", k.start, k.end);
    return "Key(key=" + quoted(k.key) + ", " + times +
           ", channel=" + (k.channel ? std::to_string(*k.channel) : "None") + ", text=" + quoted(k.text) + ")";
}

// One overwritten span, as the tool's report holds it.
struct Span {
    int channel = 0;                   // from 1; 0: keys heard on several channels
    std::uint64_t start = 0, end = 0;  // frames, the end excluded
    std::string fill;
};

Span FromRedacted(const vardell::RedactedSpan& s)
{
    return {s.channel == vardell::RedactedSpan::kSeveral ? 0 : s.channel + 1, s.start, s.end,
            s.fill == vardell::RedactFill::Noise ? "noise" : "silence"};
}

// OSError with the tool's own words: the path as given, then the reason.
[[noreturn]] void RaiseOSError(const py::handle& path, const std::string& reason)
{
    const py::object named = py::module_::import("os").attr("fsdecode")(path);
    PyErr_SetObject(PyExc_OSError, py::str("{}: {}").format(named, reason).ptr());
    throw py::error_already_set();
}

bool IsPath(const py::handle& source)
{
    return py::isinstance<py::str>(source) || py::isinstance<py::bytes>(source) || py::hasattr(source, "__fspath__");
}

std::string PathOf(const py::handle& source)
{
    const py::object path = py::module_::import("os").attr("fsencode")(source);
    return path.cast<std::string>();
}

// The channels of 1-D samples (one) or of 2-D ones, frames x channels; ValueError for any other shape.
int ChannelsOf(const py::array& array)
{
    if (array.ndim() == 0 || array.ndim() > 2)
        throw py::value_error("samples must be 1-D, or 2-D as frames x channels, not " + std::to_string(array.ndim()) +
                              "-D");
    const py::ssize_t channels = array.ndim() == 2 ? array.shape(1) : 1;
    if (channels < 1 || channels > vardell::RawFormat::kMaxChannels)
        throw py::value_error("samples must have 1 to " + std::to_string(vardell::RawFormat::kMaxChannels) +
                              " channels, not " + std::to_string(channels));
    return static_cast<int>(channels);
}

// Interleaved frames of an array, in C order.
template <class Sample>
struct Frames {
    py::array_t<Sample, py::array::c_style | py::array::forcecast> samples;
    std::size_t frames = 0;
    int channels = 1;
    const Sample* data() const { return samples.data(); }
};

template <class Sample>
Frames<Sample> FramesOf(const py::array& array)
{
    Frames<Sample> f{py::array_t<Sample, py::array::c_style | py::array::forcecast>::ensure(array)};
    if (!f.samples)
        throw py::error_already_set();
    f.channels = ChannelsOf(array);
    f.frames = static_cast<std::size_t>(array.shape(0));
    return f;
}

// What an array holds, by its dtype; only redaction takes int32.
enum class Kind { Int16, Int32, Float32, Float64 };

Kind KindOf(const py::array& array, bool takesInt32)
{
    const py::dtype dtype = array.dtype();
    if (dtype.equal(py::dtype::of<std::int16_t>()))
        return Kind::Int16;
    if (takesInt32 && dtype.equal(py::dtype::of<std::int32_t>()))
        return Kind::Int32;
    if (dtype.equal(py::dtype::of<float>()))
        return Kind::Float32;
    if (dtype.equal(py::dtype::of<double>()))
        return Kind::Float64;
    throw py::value_error(std::string("samples must be int16") + (takesInt32 ? ", int32" : "") +
                          ", float32 or float64, not " + py::str(py::object(dtype)).cast<std::string>());
}

py::array AsArray(const py::handle& source)
{
    if (py::isinstance<py::array>(source))
        return py::reinterpret_borrow<py::array>(source);
    py::array array = py::array::ensure(source);
    if (!array)
        throw py::type_error("samples must be a path or an array of samples");
    return array;
}

int RateOf(const std::optional<int>& rate)
{
    if (!rate)
        throw py::value_error("an array needs its rate: rate=HZ");
    if (*rate < vardell::RawFormat::kMinRate || *rate > vardell::RawFormat::kMaxRate)
        throw py::value_error("the rate must be " + std::to_string(vardell::RawFormat::kMinRate) + " to " +
                              std::to_string(vardell::RawFormat::kMaxRate) + " Hz, not " + std::to_string(*rate));
    return *rate;
}

vardell::DecodeSettings Settings(bool strict, const std::optional<int>& channel, bool eachChannel)
{
    vardell::DecodeSettings settings;
    settings.output = vardell::DecodeOutput::Keys;
    settings.strict = strict;
    if (channel && eachChannel)
        throw py::value_error("channel and each_channel exclude each other");
    if (channel && *channel < 1)
        throw py::value_error("channel counts from 1, as the tool's --channel does");
    if (channel)
        settings.input.channels = {vardell::ChannelChoice::One, *channel - 1};
    else if (eachChannel)
        settings.input.channels.mode = vardell::ChannelChoice::Each;
    return settings;
}

std::vector<Key> Keys(const std::vector<vardell::KeyRecord>& records)
{
    std::vector<Key> keys;
    keys.reserve(records.size());
    for (const auto& r : records)
        keys.push_back(FromRecord(r));
    return keys;
}

// Feeds an array's frames to a decoder, without the GIL.
void FeedArray(vardell::FrameDecoder& decoder, const py::array& array)
{
    const Kind kind = KindOf(array, false);
    bool ok = false;
    const auto feed = [&](const auto& f) {
        py::gil_scoped_release unlocked;
        ok = decoder.Feed(f.data(), f.frames);
    };
    if (kind == Kind::Int16)
        feed(FramesOf<std::int16_t>(array));
    else
        feed(FramesOf<float>(array));  // float64 too, as libsndfile reads doubles
    if (!ok && !decoder.Error().empty())
        throw py::value_error(decoder.Error());
}

std::vector<Key> Decode(const py::object& source, std::optional<int> rate, bool strict, std::optional<int> channel,
                        bool eachChannel)
{
    const vardell::DecodeSettings settings = Settings(strict, channel, eachChannel);
    std::vector<vardell::KeyRecord> records;
    const auto keep = [&records](const vardell::KeyRecord& r) { records.push_back(r); };
    if (IsPath(source)) {
        if (rate)
            throw py::value_error("rate is for arrays: a recording names its own");
        const std::string path = PathOf(source);
        vardell::ReadOutcome read;
        {
            py::gil_scoped_release unlocked;
            read = vardell::DecodeRecording(path, settings, nullptr, keep);
        }
        if (!read.ok())
            RaiseOSError(source, read.error);
        return Keys(records);
    }
    const py::array array = AsArray(source);
    const int channels = ChannelsOf(array);
    std::string error;
    vardell::FrameDecoder decoder(RateOf(rate), channels, settings, nullptr, keep, error);
    if (!error.empty())
        throw py::value_error(error);
    FeedArray(decoder, array);
    {
        py::gil_scoped_release unlocked;
        decoder.Finish();
    }
    if (!decoder.Error().empty())
        throw py::value_error(decoder.Error());
    return Keys(records);
}

// A stream of samples fed in pieces; keys come as they end.
class Engine {
public:
    Engine(int rate, bool strict)
    {
        vardell::DecodeSettings settings = Settings(strict, std::nullopt, false);
        std::string error;
        decoder = std::make_unique<vardell::FrameDecoder>(
            RateOf(rate), 1, settings, nullptr, [this](const vardell::KeyRecord& r) { ended.push_back(r); }, error);
        if (!error.empty())
            throw py::value_error(error);
    }

    std::vector<Key> Feed(const py::object& samples)
    {
        const py::array array = AsArray(samples);
        if (array.ndim() != 1)
            throw py::value_error("feed takes 1-D samples, not " + std::to_string(array.ndim()) + "-D");
        std::unique_lock lock = Lock();
        if (flushed)
            throw py::value_error("the engine was flushed: its stream has ended");
        FeedArray(*decoder, array);
        return Take();
    }

    std::vector<Key> Flush()
    {
        std::unique_lock lock = Lock();
        if (!flushed) {
            flushed = true;
            py::gil_scoped_release unlocked;
            decoder->Finish();
        }
        return Take();
    }

private:
    // The engine's own lock, taken without the GIL so that a thread feeding it never waits holding both.
    std::unique_lock<std::mutex> Lock()
    {
        py::gil_scoped_release unlocked;
        return std::unique_lock(mutex);
    }

    std::vector<Key> Take()
    {
        std::vector<Key> keys = Keys(ended);
        ended.clear();
        return keys;
    }

    std::mutex mutex;
    std::unique_ptr<vardell::FrameDecoder> decoder;
    std::vector<vardell::KeyRecord> ended;
    bool flushed = false;
};

py::array_t<std::int16_t> Tones(const std::string& keys, int rate, double toneMs, double gapMs, double level,
                                double twist, std::optional<double> noise, std::uint64_t seed)
{
    vardell::ToneOptions options;
    options.toneMs = toneMs, options.gapMs = gapMs, options.levelDb = level, options.twistDb = twist;
    options.noise = noise.has_value(), options.snrDb = noise.value_or(0);
    options.seed = seed, options.sampleRate = rate;
    std::string upper = keys;
    for (char& key : upper)
        key = static_cast<char>(std::toupper(static_cast<unsigned char>(key)));
    if (const std::string problem = vardell::ToneProblem(upper, options); !problem.empty())
        throw py::value_error(problem);
    std::vector<std::int16_t> samples;
    {
        py::gil_scoped_release unlocked;
        samples = vardell::GenerateTones(upper, options);
    }
    return py::array_t<std::int16_t>(static_cast<py::ssize_t>(samples.size()), samples.data());
}

vardell::RedactOptions RedactOptionsOf(const std::string& fill, bool strict)
{
    if (fill != "silence" && fill != "noise")
        throw py::value_error("fill is 'silence' or 'noise', not '" + fill + "'");
    return {fill == "noise" ? vardell::RedactFill::Noise : vardell::RedactFill::Silence, strict};
}

template <class Sample>
py::array RedactArray(const py::array& array, int rate, const vardell::RedactOptions& options, std::vector<Span>& spans)
{
    const Frames<Sample> in = FramesOf<Sample>(array);
    py::array_t<Sample> out(array.ndim() == 2 ? std::vector<py::ssize_t>{array.shape(0), array.shape(1)}
                                              : std::vector<py::ssize_t>{array.shape(0)});
    vardell::Redactor<Sample> redactor(in.channels, rate, options,
                                       [&spans](const vardell::RedactedSpan& s) { spans.push_back(FromRedacted(s)); });
    Sample* const to = out.mutable_data();
    {
        py::gil_scoped_release unlocked;
        const std::size_t came = redactor.Process(in.data(), in.frames, to);
        // The redactor writes up to Delay() frames at the end: room for them beyond the array.
        std::vector<Sample> rest(redactor.Delay() * static_cast<std::size_t>(in.channels));
        const std::size_t tail = redactor.Finish(rest.data());
        std::copy_n(rest.data(), tail * static_cast<std::size_t>(in.channels), to + came * in.channels);
    }
    return out;
}

py::object Redact(const py::object& source, const py::object& out, std::optional<int> rate, const std::string& fill,
                  bool strict)
{
    const vardell::RedactOptions options = RedactOptionsOf(fill, strict);
    std::vector<Span> spans;
    if (IsPath(source)) {
        if (rate)
            throw py::value_error("rate is for arrays: a recording names its own");
        if (out.is_none() || !IsPath(out))
            throw py::value_error("a recording is redacted into another: give out=PATH");
        const std::string in = PathOf(source), to = PathOf(out);
        std::string error;
        vardell::RedactOutcome outcome;
        {
            py::gil_scoped_release unlocked;
            outcome = vardell::RedactFile(
                in, to, options, [&spans](const vardell::RedactedSpan& s) { spans.push_back(FromRedacted(s)); }, error);
        }
        if (outcome != vardell::RedactOutcome::Done)
            RaiseOSError(outcome == vardell::RedactOutcome::BadInput ? source : out, error);
        return py::cast(spans);
    }
    if (!out.is_none())
        throw py::value_error("an array is redacted into a new one, which is returned: leave out None");
    const py::array array = AsArray(source);
    const int hz = RateOf(rate);
    py::array redacted;
    switch (KindOf(array, true)) {
    case Kind::Int16:
        redacted = RedactArray<std::int16_t>(array, hz, options, spans);
        break;
    case Kind::Int32:
        redacted = RedactArray<std::int32_t>(array, hz, options, spans);
        break;
    case Kind::Float32:
        redacted = RedactArray<float>(array, hz, options, spans);
        break;
    case Kind::Float64:
        redacted = RedactArray<double>(array, hz, options, spans);
        break;
    }
    return py::make_tuple(redacted, spans);
}

}  // namespace

PYBIND11_MODULE(vardell, m)
{
    m.doc() = R"(DTMF keys in recordings and numpy arrays: decoding, test tones and redaction.

Times are in seconds and keys are records as `vardell decode --format jsonl` prints them;
channels count from 1, as the tool's --channel does. Decoding, feeding and redacting
release the GIL, so threads work in parallel.)";
    m.attr("__version__") = VARDELL_VERSION;

    py::class_<Key>(m, "Key", "One key: where its tone began and ended, and the command text it gave.")
        .def(py::init([](std::string key, double start, double end, std::optional<int> channel,
                         std::optional<std::string> text) {
                 return Key{key, start, end, channel, text};
             }),
             "key"_a, "start"_a, "end"_a, "channel"_a = py::none(), "text"_a = py::none())
        .def_readonly("key", &Key::key, "the key: one of 0-9, A-D, *, #")
        .def_readonly("start", &Key::start, "where its tone began, in seconds (to the millisecond)")
        .def_readonly("end", &Key::end, "where its tone ended, in seconds (to the millisecond)")
        .def_readonly("channel", &Key::channel, "the channel it was heard on, from 1; None: the channels mixed down")
        .def_readonly("text", &Key::text,
                      "the command text after this key, as a window receives it; None when it received none")
        .def("__repr__", &KeyRepr)
        .def("__eq__",
             [](const Key& a, const Key& b) {
                 return a.key == b.key && a.start == b.start && a.end == b.end && a.channel == b.channel &&
                        a.text == b.text;
             })
        .def(py::pickle([](const Key& k) { return py::make_tuple(k.key, k.start, k.end, k.channel, k.text); },
                        [](const py::tuple& t) {
                            return Key{t[0].cast<std::string>(), t[1].cast<double>(), t[2].cast<double>(),
                                       t[3].cast<std::optional<int>>(), t[4].cast<std::optional<std::string>>()};
                        }));

    py::class_<Span>(m, "Span", "One overwritten span of a redacted recording; never the key it held.")
        .def_readonly("channel", &Span::channel, "the channel its keys were heard on, from 1; 0: several")
        .def_readonly("start", &Span::start, "its first frame")
        .def_readonly("end", &Span::end, "the frame after its last")
        .def_readonly("fill", &Span::fill, "what overwrote it: 'silence' or 'noise'")
        .def("__repr__",
             [](const Span& s) {
                 return "Span(channel=" + std::to_string(s.channel) + ", start=" + std::to_string(s.start) +
                        ", end=" + std::to_string(s.end) + ", fill='" + s.fill + "')";
             })
        .def("__eq__", [](const Span& a, const Span& b) {
            return a.channel == b.channel && a.start == b.start && a.end == b.end && a.fill == b.fill;
        });

    m.def("decode", &Decode, "source"_a, py::kw_only(), "rate"_a = py::none(), "strict"_a = false,
          "channel"_a = py::none(), "each_channel"_a = false,
          R"(Every key in a recording or an array of samples, in order.

source: a path (str, bytes or os.PathLike; any format `vardell decode` reads), or
    samples: int16, or float32/float64 at full scale +-1, 1-D or 2-D as frames x
    channels, with their `rate` in Hz.
strict: strict detection, which takes no keys from speech or music.
channel: decode this channel alone (from 1); each_channel: every channel on its
    own. By default the channels are mixed down.
Raises ValueError for a bad shape, dtype, rate or channel, OSError for a
recording that cannot be read.)");

    py::class_<Engine>(m, "KeyEngine", R"(A stream of samples decoded as it comes, in pieces of any size.

    engine = vardell.KeyEngine(rate=8000)
    for piece in pieces:
        keys += engine.feed(piece)
    keys += engine.flush())")
        .def(py::init<int, bool>(), "rate"_a = dtmf::kRate, "strict"_a = false,
             "rate: the samples' rate in Hz; strict: strict detection.")
        .def("feed", &Engine::Feed, "samples"_a,
             "Takes the next 1-D samples (int16, or float32/float64 at full scale +-1) and returns the keys that "
             "ended in them.")
        .def("flush", &Engine::Flush,
             "Ends the stream and returns the keys it still held; the engine takes no samples afterwards.");

    m.def("tones", &Tones, "keys"_a, py::kw_only(), "rate"_a = dtmf::kRate, "tone_ms"_a = 80.0, "gap_ms"_a = 60.0,
          "level"_a = -10.0, "twist"_a = 0.0, "noise"_a = py::none(), "seed"_a = 1,
          R"(The DTMF tones of `keys` as int16 samples, the signal `vardell tones` writes.

Each key is a tone of tone_ms, then a pause of gap_ms; level is each sine's
dBFS, twist raises the high tone over the low one (dB), noise is white noise's
SNR in dB below a key's power (None: no noise), seed names the noise.)");

    m.def("redact", &Redact, "source"_a, "out"_a = py::none(), py::kw_only(), "rate"_a = py::none(),
          "fill"_a = "silence", "strict"_a = false,
          R"(The recording or samples with every typed key overwritten on all channels.

An array (int16, int32, float32 or float64, 1-D or 2-D as frames x channels,
with its `rate`) gives (the redacted array, its spans), in the array's dtype
and shape, every sample outside the spans unchanged. A path is redacted into
the path `out`, as `vardell redact` does it, and gives the spans.
fill: 'silence', or 'noise' at the background's level; strict: the engine's
strict detection (the default takes more, since a missed key leaks a digit).)");
}
