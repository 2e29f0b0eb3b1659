// PulseAudio backend: one connection per process on one pa_threaded_mainloop,
// opened on first use without autospawn. Every pa_* call runs under the
// mainloop lock; stream callbacks run on the mainloop thread with it held, which
// is where the front end's sinks are called from.
#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <mutex>

#include "AudioBackend.h"
#include "PulseLibrary.h"

namespace {

using namespace waveaudio;

constexpr std::uint64_t kTimeoutUsec = 3'000'000;  // a server that stops answering must not hang a caller

// libpulse's functions: every way in goes through EnsureLoop first, which has loaded them.
const PulseLibrary& pa()
{
    return *LoadPulse();
}

class Lock {
public:
    explicit Lock(pa_threaded_mainloop* l) : loop(l) { pa().threaded_mainloop_lock(loop); }
    ~Lock() { pa().threaded_mainloop_unlock(loop); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pa_threaded_mainloop* loop;
};

bool SampleSpecOf(const WAVEFORMATEX& f, pa_sample_spec& sampleSpec)
{
    switch (f.wBitsPerSample) {
    case 8:
        sampleSpec.format = PA_SAMPLE_U8;
        break;
    case 16:
        sampleSpec.format = PA_SAMPLE_S16LE;
        break;
    case 24:
        sampleSpec.format = PA_SAMPLE_S24LE;
        break;
    case 32:
        sampleSpec.format = PA_SAMPLE_S32LE;
        break;
    default:
        return false;
    }
    sampleSpec.rate = f.nSamplesPerSec;
    sampleSpec.channels = static_cast<std::uint8_t>(f.nChannels);
    return f.nChannels <= PA_CHANNELS_MAX && pa().sample_spec_valid(&sampleSpec);
}

class PulseBackend final : public Backend {
public:
    std::vector<DeviceInfo> Devices(Direction dir) override;
    MMRESULT OpenCapture(const DeviceInfo& dev, const WAVEFORMATEX& fmt, CaptureSink& sink,
                         std::unique_ptr<CaptureStream>& out) override;
    MMRESULT OpenPlayback(const DeviceInfo& dev, const WAVEFORMATEX& fmt, PlaybackSink& sink,
                          std::unique_ptr<PlaybackStream>& out) override;
    // Empty when a connection is ready; otherwise why there is none.
    std::string Problem();

    pa_threaded_mainloop* Loop() const { return loop; }
    void Signal() { pa().threaded_mainloop_signal(loop, 0); }

    // Waits (mainloop lock held) until done() or the timeout; returns done().
    template <class Pred>
    bool WaitLocked(Pred done)
    {
        if (done())
            return true;
        struct Timer {
            PulseBackend* self;
            bool fired = false;
        } timer{this};
        pa_mainloop_api* api = pa().threaded_mainloop_get_api(loop);
        timeval tv;
        pa().timeval_add(pa().gettimeofday(&tv), kTimeoutUsec);
        pa_time_event* ev = api->time_new(
            api, &tv,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* ud) {
                auto* t = static_cast<Timer*>(ud);
                t->fired = true;
                t->self->Signal();
            },
            &timer);
        while (!done() && !timer.fired)
            pa().threaded_mainloop_wait(loop);
        api->time_free(ev);
        return done();
    }

    bool WaitOperation(pa_operation* op)
    {
        if (!op)
            return false;
        bool ok = WaitLocked([&] { return pa().operation_get_state(op) != PA_OPERATION_RUNNING; });
        if (!ok)
            pa().operation_cancel(op);
        pa().operation_unref(op);
        return ok;
    }

    // Ready connection or null (mainloop lock held). A connection that died is replaced.
    pa_context* ContextLocked();

    // Loads libpulse and starts the mainloop thread on first use; false if either is impossible.
    bool EnsureLoop()
    {
        std::call_once(once, [&] {
            if (!LoadPulse())
                return;
            loop = pa().threaded_mainloop_new();
            if (loop && pa().threaded_mainloop_start(loop) < 0) {
                pa().threaded_mainloop_free(loop);
                loop = nullptr;
            }
        });
        return loop != nullptr;
    }

private:
    std::once_flag once;
    pa_threaded_mainloop* loop = nullptr;  // never freed: it serves until the process ends
    pa_context* context = nullptr;
    bool connecting = false;  // a caller is waiting for a new connection to settle
    std::string problem;      // why the last connection attempt failed
};

pa_context* PulseBackend::ContextLocked()
{
    // The connecting caller releases the lock while it waits; others wait for its
    // outcome instead of opening (and leaking) connections of their own.
    while (connecting)
        pa().threaded_mainloop_wait(loop);
    if (context && pa().context_get_state(context) == PA_CONTEXT_READY)
        return context;
    if (context) {
        pa().context_set_state_callback(context, nullptr, nullptr);
        pa().context_disconnect(context);
        pa().context_unref(context);
        context = nullptr;
    }
    pa_context* c = pa().context_new(pa().threaded_mainloop_get_api(loop), "Vardell");
    if (!c) {
        problem = "cannot make a sound server connection";
        return nullptr;
    }
    pa().context_set_state_callback(
        c, [](pa_context*, void* ud) { static_cast<PulseBackend*>(ud)->Signal(); }, this);
    if (pa().context_connect(c, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        problem = pa().strerror(pa().context_errno(c));
        pa().context_unref(c);
        return nullptr;
    }
    connecting = true;
    bool settled = WaitLocked([&] {
        auto s = pa().context_get_state(c);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    connecting = false;
    Signal();
    if (!settled || pa().context_get_state(c) != PA_CONTEXT_READY) {
        problem = settled ? pa().strerror(pa().context_errno(c)) : "the sound server does not answer";
        pa().context_set_state_callback(c, nullptr, nullptr);
        pa().context_disconnect(c);
        pa().context_unref(c);
        return nullptr;
    }
    context = c;
    problem.clear();
    return context;
}

std::string PulseBackend::Problem()
{
    if (!EnsureLoop())
        return "cannot start the sound server client";
    Lock lk(loop);
    return ContextLocked() ? std::string() : problem;
}

struct Listing {
    PulseBackend* backend;
    std::string defaultName;
    std::vector<DeviceInfo> devices;
};

template <class Info>
void Collect(const Info* info, int eol, void* ud)
{
    auto* l = static_cast<Listing*>(ud);
    if (eol || !info) {
        l->backend->Signal();
        return;
    }
    const char* desc = info->description ? info->description : info->name;
    l->devices.push_back({desc ? desc : "", info->name ? info->name : "", info->index, info->sample_spec.channels});
}

std::vector<DeviceInfo> PulseBackend::Devices(Direction dir)
{
    if (!EnsureLoop())
        return {};
    Lock lk(loop);
    pa_context* c = ContextLocked();
    if (!c)
        return {};
    Listing l{this, {}, {}};
    struct ServerNames {
        PulseBackend* backend;
        std::string sink, source;
    } names{this, {}, {}};
    if (!WaitOperation(pa().context_get_server_info(
            c,
            [](pa_context*, const pa_server_info* i, void* ud) {
                auto* n = static_cast<ServerNames*>(ud);
                if (i) {
                    n->sink = i->default_sink_name ? i->default_sink_name : "";
                    n->source = i->default_source_name ? i->default_source_name : "";
                }
                n->backend->Signal();
            },
            &names)))
        return {};
    pa_operation* op;
    if (dir == Direction::Capture) {
        op = pa().context_get_source_info_list(
            c, [](pa_context*, const pa_source_info* i, int eol, void* ud) { Collect(i, eol, ud); }, &l);
        l.defaultName = names.source;
    } else {
        op = pa().context_get_sink_info_list(
            c, [](pa_context*, const pa_sink_info* i, int eol, void* ud) { Collect(i, eol, ud); }, &l);
        l.defaultName = names.sink;
    }
    if (!WaitOperation(op))
        return {};
    // The server's default first, the others in the server's order.
    std::stable_partition(l.devices.begin(), l.devices.end(),
                          [&](const DeviceInfo& d) { return d.key == l.defaultName; });
    return std::move(l.devices);
}

// Base of both stream kinds: creation, connection, loss and teardown under the lock.
class PulseStream {
protected:
    PulseStream(PulseBackend& b, StreamSink& sink) : backend(b), lossSink(sink) {}

    // Lock held. Waits until the stream is ready or has failed.
    bool WaitReady()
    {
        connected = backend.WaitLocked([&] {
            auto st = pa().stream_get_state(stream);
            return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
        }) && pa().stream_get_state(stream) == PA_STREAM_READY;
        return connected;
    }

    bool Ready() const { return stream && pa().stream_get_state(stream) == PA_STREAM_READY; }

    void Cork(bool on)
    {
        if (pa_operation* op = pa().stream_cork(stream, on ? 1 : 0, nullptr, nullptr))
            pa().operation_unref(op);
    }

    // Mainloop thread, lock held. A stream that was working and dies (the server
    // went away, the device was removed) is reported once, with the server's reason.
    void OnState()
    {
        backend.Signal();
        if (!connected || PA_STREAM_IS_GOOD(pa().stream_get_state(stream)))
            return;
        connected = false;
        Dropped();
        lossSink.Failed(pa().strerror(pa().context_errno(pa().stream_get_context(stream))));
    }
    // Lock held: forget what the caller lent us, as the stream is gone.
    virtual void Dropped() {}

    // Lock held. After this no callback of the stream runs.
    void DestroyLocked()
    {
        if (!stream)
            return;
        pa().stream_set_state_callback(stream, nullptr, nullptr);
        pa().stream_set_read_callback(stream, nullptr, nullptr);
        pa().stream_set_write_callback(stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa().stream_get_state(stream)))
            pa().stream_disconnect(stream);
        pa().stream_unref(stream);
        stream = nullptr;
    }

    void WatchState()
    {
        pa().stream_set_state_callback(
            stream, [](pa_stream*, void* ud) { static_cast<PulseStream*>(ud)->OnState(); }, this);
    }

    ~PulseStream() = default;

    PulseBackend& backend;
    pa_stream* stream = nullptr;

private:
    StreamSink& lossSink;
    bool connected = false;  // ready once; cleared when the loss is reported
};

class PulseCapture final : public CaptureStream, PulseStream {
public:
    PulseCapture(PulseBackend& b, CaptureSink& sink) : PulseStream(b, sink), frontEnd(sink) {}
    ~PulseCapture() override
    {
        Lock lk(backend.Loop());
        DestroyLocked();
    }

    // Lock held.
    MMRESULT Connect(pa_context* c, const std::string& source, const pa_sample_spec& sampleSpec)
    {
        stream = pa().stream_new(c, "Vardell capture", &sampleSpec, nullptr);
        if (!stream)
            return MMSYSERR_NOMEM;
        WatchState();
        pa().stream_set_read_callback(
            stream, [](pa_stream*, std::size_t, void* ud) { static_cast<PulseCapture*>(ud)->OnRead(); }, this);
        // Without a small fragment size the server delivers two-second chunks.
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(256 * pa().frame_size(&sampleSpec));
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        if (pa().stream_connect_record(stream, source.c_str(), &attr, flags) < 0 || !WaitReady())
            return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Start() override
    {
        Lock lk(backend.Loop());
        if (!Ready())
            return MMSYSERR_NODRIVER;
        Cork(false);
        return MMSYSERR_NOERROR;
    }

    void Stop() override
    {
        Lock lk(backend.Loop());
        if (Ready())
            Cork(true);
    }

private:
    // Whatever sizes the server delivers go to the front end, which cuts the caller's blocks.
    void OnRead()
    {
        while (pa().stream_readable_size(stream) > 0) {
            const void* data = nullptr;
            std::size_t n = 0;
            if (pa().stream_peek(stream, &data, &n) < 0 || n == 0)
                return;
            frontEnd.Captured(static_cast<const std::uint8_t*>(data), n);  // a hole (null) is silence
            pa().stream_drop(stream);
        }
    }

    CaptureSink& frontEnd;
};

// Blocks are written into the server's buffer one after the other as it asks for
// more, so that they play without a gap. A block counts as played once the next
// one has begun to follow it into that buffer (which holds tens of milliseconds),
// or, for the last block, once the server has drained it.
class PulsePlayback final : public PlaybackStream, PulseStream {
public:
    PulsePlayback(PulseBackend& b, PlaybackSink& sink) : PulseStream(b, sink), frontEnd(sink) {}
    ~PulsePlayback() override
    {
        Lock lk(backend.Loop());
        CancelDrain();
        DestroyLocked();
    }

    // Lock held.
    MMRESULT Connect(pa_context* c, const std::string& sinkName, const pa_sample_spec& sampleSpec)
    {
        stream = pa().stream_new(c, "Vardell playback", &sampleSpec, nullptr);
        if (!stream)
            return MMSYSERR_NOMEM;
        WatchState();
        pa().stream_set_write_callback(
            stream, [](pa_stream*, std::size_t, void* ud) { static_cast<PulsePlayback*>(ud)->Pump(); }, this);
        pa_buffer_attr attr{};
        attr.maxlength = attr.prebuf = attr.fragsize = static_cast<std::uint32_t>(-1);
        // 150 ms queued at the server: a writer held up by a busy machine does not
        // leave a gap between blocks.
        attr.tlength = static_cast<std::uint32_t>(pa().usec_to_bytes(150 * PA_USEC_PER_MSEC, &sampleSpec));
        attr.minreq = static_cast<std::uint32_t>(256 * pa().frame_size(&sampleSpec));
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        if (pa().stream_connect_playback(stream, sinkName.c_str(), &attr, flags, nullptr, nullptr) < 0 || !WaitReady())
            return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Write(const std::uint8_t* data, std::size_t bytes) override
    {
        Lock lk(backend.Loop());
        if (!Ready())
            return MMSYSERR_NODRIVER;
        CancelDrain();
        blocks.push_back({data, bytes});
        Pump();
        if (!paused)
            Cork(false);
        return MMSYSERR_NOERROR;
    }

    MMRESULT Pause(bool pause) override
    {
        Lock lk(backend.Loop());
        if (!Ready())
            return MMSYSERR_NODRIVER;
        paused = pause;
        Cork(pause);
        return MMSYSERR_NOERROR;
    }

    void Reset() override
    {
        Lock lk(backend.Loop());
        CancelDrain();
        Dropped();
        paused = false;
        if (!Ready())
            return;
        if (pa_operation* op = pa().stream_flush(stream, nullptr, nullptr))
            pa().operation_unref(op);
        Cork(true);
    }

private:
    struct Block {
        const std::uint8_t* data;
        std::size_t len;
    };

    void Dropped() override
    {
        CancelDrain();
        blocks.clear();
        written = offset = 0;
    }

    // Writes as much as the server takes, block after block; drains after the last.
    void Pump()
    {
        if (!Ready())
            return;
        while (written < blocks.size()) {
            std::size_t w = pa().stream_writable_size(stream);
            if (w == 0 || w == static_cast<std::size_t>(-1))
                break;
            const Block& block = blocks[written];
            std::size_t n = std::min(w, block.len - offset);
            if (pa().stream_write(stream, block.data + offset, n, nullptr, 0, PA_SEEK_RELATIVE) < 0)
                break;
            offset += n;
            if (offset == block.len) {
                ++written;
                offset = 0;
            }
        }
        // Every written block with another begun behind it has played, bar the buffer.
        while (written > 1 || (written == 1 && offset > 0)) {
            blocks.pop_front();
            --written;
            frontEnd.Played();
        }
        if (written == 1 && blocks.size() == 1 && !drain)
            drain = pa().stream_drain(
                stream,
                [](pa_stream*, int, void* ud) {
                    auto* self = static_cast<PulsePlayback*>(ud);
                    pa().operation_unref(self->drain);
                    self->drain = nullptr;
                    if (self->written == 1 && self->blocks.size() == 1) {
                        self->blocks.clear();
                        self->written = 0;
                        self->frontEnd.Played();
                    }
                },
                this);
    }

    void CancelDrain()
    {
        if (!drain)
            return;
        pa().operation_cancel(drain);
        pa().operation_unref(drain);
        drain = nullptr;
    }

    PlaybackSink& frontEnd;
    std::deque<Block> blocks;  // lent by the caller, not yet reported played
    std::size_t written = 0;   // leading blocks wholly in the server's buffer
    std::size_t offset = 0;    // bytes of the next block already written
    bool paused = false;
    pa_operation* drain = nullptr;
};

MMRESULT PulseBackend::OpenCapture(const DeviceInfo& dev, const WAVEFORMATEX& fmt, CaptureSink& sink,
                                   std::unique_ptr<CaptureStream>& out)
{
    if (!EnsureLoop())
        return MMSYSERR_NODRIVER;
    pa_sample_spec sampleSpec;
    if (!SampleSpecOf(fmt, sampleSpec))
        return WAVERR_BADFORMAT;
    auto stream = std::make_unique<PulseCapture>(*this, sink);
    {
        Lock lk(loop);
        pa_context* c = ContextLocked();
        if (!c)
            return MMSYSERR_NODRIVER;
        if (MMRESULT r = stream->Connect(c, dev.key, sampleSpec))
            return r;  // the destructor retakes the lock
    }
    out = std::move(stream);
    return MMSYSERR_NOERROR;
}

MMRESULT PulseBackend::OpenPlayback(const DeviceInfo& dev, const WAVEFORMATEX& fmt, PlaybackSink& sink,
                                    std::unique_ptr<PlaybackStream>& out)
{
    if (!EnsureLoop())
        return MMSYSERR_NODRIVER;
    pa_sample_spec sampleSpec;
    if (!SampleSpecOf(fmt, sampleSpec))
        return WAVERR_BADFORMAT;
    auto stream = std::make_unique<PulsePlayback>(*this, sink);
    {
        Lock lk(loop);
        pa_context* c = ContextLocked();
        if (!c)
            return MMSYSERR_NODRIVER;
        if (MMRESULT r = stream->Connect(c, dev.key, sampleSpec))
            return r;
    }
    out = std::move(stream);
    return MMSYSERR_NOERROR;
}

}  // namespace

namespace waveaudio {

namespace {
PulseBackend& Server()
{
    static PulseBackend& b = *new PulseBackend;
    return b;
}
}  // namespace

Backend& ServerDevices()
{
    return Server();
}

std::string ServerProblem()
{
    return Server().Problem();
}

}  // namespace waveaudio
