// PulseAudio backend: one connection per process on one pa_threaded_mainloop,
// opened on first use without autospawn. Every pa_* call runs under the
// mainloop lock; stream callbacks run on the mainloop thread with it held, which
// is where the front end's sinks are called from.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <mutex>

#include "AudioBackend.h"

namespace {

using namespace waveaudio;

constexpr std::uint64_t kTimeoutUsec = 3'000'000;  // a server that stops answering must not hang a caller

class Lock {
public:
    explicit Lock(pa_threaded_mainloop* l) : l_(l) { pa_threaded_mainloop_lock(l_); }
    ~Lock() { pa_threaded_mainloop_unlock(l_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pa_threaded_mainloop* l_;
};

bool sampleSpecOf(const WAVEFORMATEX& f, pa_sample_spec& sampleSpec)
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
    return f.nChannels <= PA_CHANNELS_MAX && pa_sample_spec_valid(&sampleSpec);
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

    pa_threaded_mainloop* loop() const { return loop_; }
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }

    // Waits (mainloop lock held) until done() or the timeout; returns done().
    template <class Pred>
    bool waitLocked(Pred done)
    {
        if (done())
            return true;
        struct Timer {
            PulseBackend* self;
            bool fired = false;
        } timer{this};
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
        timeval tv;
        pa_timeval_add(pa_gettimeofday(&tv), kTimeoutUsec);
        pa_time_event* ev = api->time_new(
            api, &tv,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* ud) {
                auto* t = static_cast<Timer*>(ud);
                t->fired = true;
                t->self->signal();
            },
            &timer);
        while (!done() && !timer.fired)
            pa_threaded_mainloop_wait(loop_);
        api->time_free(ev);
        return done();
    }

    bool waitOperation(pa_operation* op)
    {
        if (!op)
            return false;
        bool ok = waitLocked([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
        if (!ok)
            pa_operation_cancel(op);
        pa_operation_unref(op);
        return ok;
    }

    // Ready connection or null (mainloop lock held). A connection that died is replaced.
    pa_context* contextLocked();

    // Starts the mainloop thread on first use; false if that is impossible.
    bool ensureLoop()
    {
        std::call_once(once_, [&] {
            loop_ = pa_threaded_mainloop_new();
            if (loop_ && pa_threaded_mainloop_start(loop_) < 0) {
                pa_threaded_mainloop_free(loop_);
                loop_ = nullptr;
            }
        });
        return loop_ != nullptr;
    }

private:
    std::once_flag once_;
    pa_threaded_mainloop* loop_ = nullptr;  // never freed: it serves until the process ends
    pa_context* ctx_ = nullptr;
    bool connecting_ = false;  // a caller is waiting for a new connection to settle
    std::string problem_;      // why the last connection attempt failed
};

pa_context* PulseBackend::contextLocked()
{
    // The connecting caller releases the lock while it waits; others wait for its
    // outcome instead of opening (and leaking) connections of their own.
    while (connecting_)
        pa_threaded_mainloop_wait(loop_);
    if (ctx_ && pa_context_get_state(ctx_) == PA_CONTEXT_READY)
        return ctx_;
    if (ctx_) {
        pa_context_set_state_callback(ctx_, nullptr, nullptr);
        pa_context_disconnect(ctx_);
        pa_context_unref(ctx_);
        ctx_ = nullptr;
    }
    pa_context* c = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Vardell");
    if (!c) {
        problem_ = "cannot make a sound server connection";
        return nullptr;
    }
    pa_context_set_state_callback(
        c, [](pa_context*, void* ud) { static_cast<PulseBackend*>(ud)->signal(); }, this);
    if (pa_context_connect(c, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        problem_ = pa_strerror(pa_context_errno(c));
        pa_context_unref(c);
        return nullptr;
    }
    connecting_ = true;
    bool settled = waitLocked([&] {
        auto s = pa_context_get_state(c);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    connecting_ = false;
    signal();
    if (!settled || pa_context_get_state(c) != PA_CONTEXT_READY) {
        problem_ = settled ? pa_strerror(pa_context_errno(c)) : "the sound server does not answer";
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
        return nullptr;
    }
    ctx_ = c;
    problem_.clear();
    return ctx_;
}

std::string PulseBackend::Problem()
{
    if (!ensureLoop())
        return "cannot start the sound server client";
    Lock lk(loop_);
    return contextLocked() ? std::string() : problem_;
}

struct Listing {
    PulseBackend* backend;
    std::string defaultName;
    std::vector<DeviceInfo> devices;
};

template <class Info>
void collect(const Info* info, int eol, void* ud)
{
    auto* l = static_cast<Listing*>(ud);
    if (eol || !info) {
        l->backend->signal();
        return;
    }
    const char* desc = info->description ? info->description : info->name;
    l->devices.push_back({desc ? desc : "", info->name ? info->name : "", info->index, info->sample_spec.channels});
}

std::vector<DeviceInfo> PulseBackend::Devices(Direction dir)
{
    if (!ensureLoop())
        return {};
    Lock lk(loop_);
    pa_context* c = contextLocked();
    if (!c)
        return {};
    Listing l{this, {}, {}};
    struct ServerNames {
        PulseBackend* backend;
        std::string sink, source;
    } names{this, {}, {}};
    if (!waitOperation(pa_context_get_server_info(
            c,
            [](pa_context*, const pa_server_info* i, void* ud) {
                auto* n = static_cast<ServerNames*>(ud);
                if (i) {
                    n->sink = i->default_sink_name ? i->default_sink_name : "";
                    n->source = i->default_source_name ? i->default_source_name : "";
                }
                n->backend->signal();
            },
            &names)))
        return {};
    pa_operation* op;
    if (dir == Direction::Capture) {
        op = pa_context_get_source_info_list(
            c, [](pa_context*, const pa_source_info* i, int eol, void* ud) { collect(i, eol, ud); }, &l);
        l.defaultName = names.source;
    } else {
        op = pa_context_get_sink_info_list(
            c, [](pa_context*, const pa_sink_info* i, int eol, void* ud) { collect(i, eol, ud); }, &l);
        l.defaultName = names.sink;
    }
    if (!waitOperation(op))
        return {};
    // The server's default first, the others in the server's order.
    std::stable_partition(l.devices.begin(), l.devices.end(),
                          [&](const DeviceInfo& d) { return d.key == l.defaultName; });
    return std::move(l.devices);
}

// Base of both stream kinds: creation, connection, loss and teardown under the lock.
class PulseStream {
protected:
    PulseStream(PulseBackend& b, StreamSink& sink) : b_(b), lossSink_(sink) {}

    // Lock held. Waits until the stream is ready or has failed.
    bool waitReady()
    {
        connected_ = b_.waitLocked([&] {
            auto st = pa_stream_get_state(s_);
            return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
        }) && pa_stream_get_state(s_) == PA_STREAM_READY;
        return connected_;
    }

    bool ready() const { return s_ && pa_stream_get_state(s_) == PA_STREAM_READY; }

    void cork(bool on)
    {
        if (pa_operation* op = pa_stream_cork(s_, on ? 1 : 0, nullptr, nullptr))
            pa_operation_unref(op);
    }

    // Mainloop thread, lock held. A stream that was working and dies (the server
    // went away, the device was removed) is reported once, with the server's reason.
    void onState()
    {
        b_.signal();
        if (!connected_ || PA_STREAM_IS_GOOD(pa_stream_get_state(s_)))
            return;
        connected_ = false;
        dropped();
        lossSink_.Failed(pa_strerror(pa_context_errno(pa_stream_get_context(s_))));
    }
    // Lock held: forget what the caller lent us, as the stream is gone.
    virtual void dropped() {}

    // Lock held. After this no callback of the stream runs.
    void destroyLocked()
    {
        if (!s_)
            return;
        pa_stream_set_state_callback(s_, nullptr, nullptr);
        pa_stream_set_read_callback(s_, nullptr, nullptr);
        pa_stream_set_write_callback(s_, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(s_)))
            pa_stream_disconnect(s_);
        pa_stream_unref(s_);
        s_ = nullptr;
    }

    void watchState()
    {
        pa_stream_set_state_callback(
            s_, [](pa_stream*, void* ud) { static_cast<PulseStream*>(ud)->onState(); }, this);
    }

    ~PulseStream() = default;

    PulseBackend& b_;
    pa_stream* s_ = nullptr;

private:
    StreamSink& lossSink_;
    bool connected_ = false;  // ready once; cleared when the loss is reported
};

class PulseCapture final : public CaptureStream, PulseStream {
public:
    PulseCapture(PulseBackend& b, CaptureSink& sink) : PulseStream(b, sink), sink_(sink) {}
    ~PulseCapture() override
    {
        Lock lk(b_.loop());
        destroyLocked();
    }

    // Lock held.
    MMRESULT connect(pa_context* c, const std::string& source, const pa_sample_spec& sampleSpec)
    {
        s_ = pa_stream_new(c, "Vardell capture", &sampleSpec, nullptr);
        if (!s_)
            return MMSYSERR_NOMEM;
        watchState();
        pa_stream_set_read_callback(
            s_, [](pa_stream*, std::size_t, void* ud) { static_cast<PulseCapture*>(ud)->onRead(); }, this);
        // Without a small fragment size the server delivers two-second chunks.
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(256 * pa_frame_size(&sampleSpec));
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        if (pa_stream_connect_record(s_, source.c_str(), &attr, flags) < 0 || !waitReady())
            return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Start() override
    {
        Lock lk(b_.loop());
        if (!ready())
            return MMSYSERR_NODRIVER;
        cork(false);
        return MMSYSERR_NOERROR;
    }

    void Stop() override
    {
        Lock lk(b_.loop());
        if (ready())
            cork(true);
    }

private:
    // Whatever sizes the server delivers go to the front end, which cuts the caller's blocks.
    void onRead()
    {
        while (pa_stream_readable_size(s_) > 0) {
            const void* data = nullptr;
            std::size_t n = 0;
            if (pa_stream_peek(s_, &data, &n) < 0 || n == 0)
                return;
            sink_.Captured(static_cast<const std::uint8_t*>(data), n);  // a hole (null) is silence
            pa_stream_drop(s_);
        }
    }

    CaptureSink& sink_;
};

// Blocks are written into the server's buffer one after the other as it asks for
// more, so that they play without a gap. A block counts as played once the next
// one has begun to follow it into that buffer (which holds tens of milliseconds),
// or, for the last block, once the server has drained it.
class PulsePlayback final : public PlaybackStream, PulseStream {
public:
    PulsePlayback(PulseBackend& b, PlaybackSink& sink) : PulseStream(b, sink), sink_(sink) {}
    ~PulsePlayback() override
    {
        Lock lk(b_.loop());
        cancelDrain();
        destroyLocked();
    }

    // Lock held.
    MMRESULT connect(pa_context* c, const std::string& sinkName, const pa_sample_spec& sampleSpec)
    {
        s_ = pa_stream_new(c, "Vardell playback", &sampleSpec, nullptr);
        if (!s_)
            return MMSYSERR_NOMEM;
        watchState();
        pa_stream_set_write_callback(
            s_, [](pa_stream*, std::size_t, void* ud) { static_cast<PulsePlayback*>(ud)->pump(); }, this);
        pa_buffer_attr attr{};
        attr.maxlength = attr.prebuf = attr.fragsize = static_cast<std::uint32_t>(-1);
        // 150 ms queued at the server: a writer held up by a busy machine does not
        // leave a gap between blocks.
        attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(150 * PA_USEC_PER_MSEC, &sampleSpec));
        attr.minreq = static_cast<std::uint32_t>(256 * pa_frame_size(&sampleSpec));
        auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        if (pa_stream_connect_playback(s_, sinkName.c_str(), &attr, flags, nullptr, nullptr) < 0 || !waitReady())
            return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    }

    MMRESULT Write(const std::uint8_t* data, std::size_t bytes) override
    {
        Lock lk(b_.loop());
        if (!ready())
            return MMSYSERR_NODRIVER;
        cancelDrain();
        blocks_.push_back({data, bytes});
        pump();
        if (!paused_)
            cork(false);
        return MMSYSERR_NOERROR;
    }

    MMRESULT Pause(bool paused) override
    {
        Lock lk(b_.loop());
        if (!ready())
            return MMSYSERR_NODRIVER;
        paused_ = paused;
        cork(paused);
        return MMSYSERR_NOERROR;
    }

    void Reset() override
    {
        Lock lk(b_.loop());
        cancelDrain();
        dropped();
        paused_ = false;
        if (!ready())
            return;
        if (pa_operation* op = pa_stream_flush(s_, nullptr, nullptr))
            pa_operation_unref(op);
        cork(true);
    }

private:
    struct Block {
        const std::uint8_t* data;
        std::size_t len;
    };

    void dropped() override
    {
        cancelDrain();
        blocks_.clear();
        written_ = off_ = 0;
    }

    // Writes as much as the server takes, block after block; drains after the last.
    void pump()
    {
        if (!ready())
            return;
        while (written_ < blocks_.size()) {
            std::size_t w = pa_stream_writable_size(s_);
            if (w == 0 || w == static_cast<std::size_t>(-1))
                break;
            const Block& block = blocks_[written_];
            std::size_t n = std::min(w, block.len - off_);
            if (pa_stream_write(s_, block.data + off_, n, nullptr, 0, PA_SEEK_RELATIVE) < 0)
                break;
            off_ += n;
            if (off_ == block.len) {
                ++written_;
                off_ = 0;
            }
        }
        // Every written block with another begun behind it has played, bar the buffer.
        while (written_ > 1 || (written_ == 1 && off_ > 0)) {
            blocks_.pop_front();
            --written_;
            sink_.Played();
        }
        if (written_ == 1 && blocks_.size() == 1 && !drain_)
            drain_ = pa_stream_drain(
                s_,
                [](pa_stream*, int, void* ud) {
                    auto* self = static_cast<PulsePlayback*>(ud);
                    pa_operation_unref(self->drain_);
                    self->drain_ = nullptr;
                    if (self->written_ == 1 && self->blocks_.size() == 1) {
                        self->blocks_.clear();
                        self->written_ = 0;
                        self->sink_.Played();
                    }
                },
                this);
    }

    void cancelDrain()
    {
        if (!drain_)
            return;
        pa_operation_cancel(drain_);
        pa_operation_unref(drain_);
        drain_ = nullptr;
    }

    PlaybackSink& sink_;
    std::deque<Block> blocks_;  // lent by the caller, not yet reported played
    std::size_t written_ = 0;   // leading blocks wholly in the server's buffer
    std::size_t off_ = 0;       // bytes of the next block already written
    bool paused_ = false;
    pa_operation* drain_ = nullptr;
};

MMRESULT PulseBackend::OpenCapture(const DeviceInfo& dev, const WAVEFORMATEX& fmt, CaptureSink& sink,
                                   std::unique_ptr<CaptureStream>& out)
{
    pa_sample_spec sampleSpec;
    if (!sampleSpecOf(fmt, sampleSpec))
        return WAVERR_BADFORMAT;
    if (!ensureLoop())
        return MMSYSERR_NODRIVER;
    auto stream = std::make_unique<PulseCapture>(*this, sink);
    {
        Lock lk(loop_);
        pa_context* c = contextLocked();
        if (!c)
            return MMSYSERR_NODRIVER;
        if (MMRESULT r = stream->connect(c, dev.key, sampleSpec))
            return r;  // the destructor retakes the lock
    }
    out = std::move(stream);
    return MMSYSERR_NOERROR;
}

MMRESULT PulseBackend::OpenPlayback(const DeviceInfo& dev, const WAVEFORMATEX& fmt, PlaybackSink& sink,
                                    std::unique_ptr<PlaybackStream>& out)
{
    pa_sample_spec sampleSpec;
    if (!sampleSpecOf(fmt, sampleSpec))
        return WAVERR_BADFORMAT;
    if (!ensureLoop())
        return MMSYSERR_NODRIVER;
    auto stream = std::make_unique<PulsePlayback>(*this, sink);
    {
        Lock lk(loop_);
        pa_context* c = contextLocked();
        if (!c)
            return MMSYSERR_NODRIVER;
        if (MMRESULT r = stream->connect(c, dev.key, sampleSpec))
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
