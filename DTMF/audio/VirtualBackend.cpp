// In-process virtual devices: inputs fed from a sample source, outputs that
// record what they play. Each device has one lock; its streams call the front
// end's sink while holding it (allowed by the backend contract), which is what
// makes "nothing after stop/reset" exact.
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "AudioBackend.h"
#include "VirtualAudio.h"

namespace {

using namespace waveaudio;
using Clock = std::chrono::steady_clock;

struct VirtualInput {
    std::string name;
    vaudio::InputOptions options;
    std::mutex m;
    std::condition_variable cv;         // source fed, buffer added, start/stop/quit
    std::vector<std::int16_t> samples;  // interleaved in the opened format
    std::size_t pos = 0;                // next sample to deliver
    // Real-time capture running: the block now being recorded began at blockStart.
    bool live = false;
    Clock::time_point blockStart;
    double framesPerSecond = 0;
    std::size_t channels = 1;
};

class VirtualPlayback;

struct VirtualOutput {
    std::string name;
    vaudio::OutputOptions options;
    std::mutex m;
    std::vector<std::uint8_t> played;
    int opens = 0;
    int openNow = 0;
    std::vector<VirtualPlayback*> active;
};

class Registry {
public:
    std::mutex m;
    std::vector<std::shared_ptr<VirtualInput>> inputs;
    std::vector<std::shared_ptr<VirtualOutput>> outputs;

    std::shared_ptr<VirtualInput> input(unsigned int i)
    {
        std::lock_guard lk(m);
        return i < inputs.size() ? inputs[i] : nullptr;
    }
    std::shared_ptr<VirtualOutput> output(unsigned int i)
    {
        std::lock_guard lk(m);
        return i < outputs.size() ? outputs[i] : nullptr;
    }
};

Registry& registry()
{
    static Registry& r = *new Registry;
    return r;
}

class VirtualCapture final : public CaptureStream {
public:
    VirtualCapture(std::shared_ptr<VirtualInput> dev, const WAVEFORMATEX& fmt, CaptureSink& sink)
        : dev_(std::move(dev)),
          sink_(sink),
          blockSamples_(256u * fmt.nChannels),
          period_(
              std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(256.0 / fmt.nSamplesPerSec))),
          worker_([this] { run(); })
    {
        std::lock_guard lk(dev_->m);
        dev_->framesPerSecond = fmt.nSamplesPerSec;
        dev_->channels = fmt.nChannels;
    }

    ~VirtualCapture() override
    {
        {
            std::lock_guard lk(dev_->m);
            quit_ = true;
        }
        dev_->cv.notify_all();
        worker_.join();
    }

    MMRESULT Start() override
    {
        set(true);
        return MMSYSERR_NOERROR;
    }
    void Stop() override { set(false); }
    void BuffersAdded() override
    {
        std::lock_guard lk(dev_->m);
        dev_->cv.notify_all();
    }

private:
    void set(bool running)
    {
        std::lock_guard lk(dev_->m);
        running_ = running;
        dev_->cv.notify_all();
    }

    void run()
    {
        std::unique_lock lk(dev_->m);
        Clock::time_point next;
        bool wasRunning = false;
        while (!quit_) {
            if (!running_) {
                wasRunning = false;
                dev_->live = false;
                dev_->cv.wait(lk);
                continue;
            }
            if (!wasRunning)
                next = Clock::now() + period_;  // the first block is due one period after start
            wasRunning = true;
            if (dev_->options.pacing == vaudio::Pacing::RealTime) {
                dev_->live = true;
                dev_->blockStart = next - period_;
                if (dev_->cv.wait_until(lk, next, [&] { return quit_ || !running_; }))
                    continue;
                next += period_;
                deliverBlock();
            } else if (!fillBuffer()) {
                dev_->cv.wait(lk);
            }
        }
        dev_->live = false;
    }

    // Real time: one block per period, silence once the source has run out.
    void deliverBlock()
    {
        std::vector<std::int16_t> block(blockSamples_, 0);
        std::size_t n = std::min(blockSamples_, dev_->samples.size() - dev_->pos);
        std::copy_n(dev_->samples.begin() + static_cast<std::ptrdiff_t>(dev_->pos), n, block.begin());
        dev_->pos += n;
        sink_.Captured(reinterpret_cast<const std::uint8_t*>(block.data()), block.size() * 2);
    }

    // As fast as buffers: fill the buffer being filled from the source. A source that ends
    // inside a buffer has the rest padded with silence, so its last samples are not stranded.
    bool fillBuffer()
    {
        std::size_t room = sink_.Room() / 2;
        std::size_t avail = dev_->samples.size() - dev_->pos;
        if (room == 0 || avail == 0)
            return false;
        std::size_t n = std::min(room, avail);
        std::vector<std::int16_t> chunk(room, 0);
        std::copy_n(dev_->samples.begin() + static_cast<std::ptrdiff_t>(dev_->pos), n, chunk.begin());
        dev_->pos += n;
        std::size_t len = n == avail ? room : n;
        sink_.Captured(reinterpret_cast<const std::uint8_t*>(chunk.data()), len * 2);
        return true;
    }

    std::shared_ptr<VirtualInput> dev_;
    CaptureSink& sink_;
    const std::size_t blockSamples_;
    const Clock::duration period_;
    bool running_ = false;  // guarded by dev_->m
    bool quit_ = false;
    std::thread worker_;  // last: starts once the members above exist
};

class VirtualPlayback final : public PlaybackStream {
public:
    VirtualPlayback(std::shared_ptr<VirtualOutput> dev, const WAVEFORMATEX& fmt, PlaybackSink& sink)
        : dev_(std::move(dev)),
          sink_(sink),
          bytesPerSecond_(double(fmt.nSamplesPerSec) * fmt.nBlockAlign),
          align_(fmt.nBlockAlign)
    {
        std::lock_guard lk(dev_->m);
        dev_->opens++;
        dev_->openNow++;
        dev_->active.push_back(this);
        if (dev_->options.clock == vaudio::OutputClock::RealTime)
            clock_ = std::thread([this] { tick(); });
    }

    ~VirtualPlayback() override
    {
        {
            std::lock_guard lk(dev_->m);
            quit_ = true;
        }
        cv_.notify_all();
        if (clock_.joinable())
            clock_.join();
        std::lock_guard lk(dev_->m);
        dev_->openNow--;
        std::erase(dev_->active, this);
    }

    MMRESULT Write(const std::uint8_t* data, std::size_t bytes) override
    {
        std::lock_guard lk(dev_->m);
        blocks_.push_back({data, bytes});
        if (dev_->options.clock == vaudio::OutputClock::Instant)
            advanceLocked(SIZE_MAX);
        cv_.notify_all();
        return MMSYSERR_NOERROR;
    }

    MMRESULT Pause(bool paused) override
    {
        std::lock_guard lk(dev_->m);
        paused_ = paused;
        if (!paused && dev_->options.clock == vaudio::OutputClock::Instant)
            advanceLocked(SIZE_MAX);
        cv_.notify_all();
        return MMSYSERR_NOERROR;
    }

    void Reset() override
    {
        std::lock_guard lk(dev_->m);
        blocks_.clear();
        off_ = 0;
        paused_ = false;
    }

    // Called with dev_->m held. Plays on from one block into the next.
    void advanceLocked(std::size_t bytes)
    {
        while (!paused_ && !blocks_.empty() && bytes > 0) {
            const auto [data, len] = blocks_.front();
            std::size_t n = std::min(bytes, len - off_);
            dev_->played.insert(dev_->played.end(), data + off_, data + off_ + n);
            off_ += n;
            bytes -= n;
            if (off_ == len) {
                blocks_.pop_front();
                off_ = 0;
                sink_.Played();
            }
        }
    }

private:
    void tick()
    {
        std::unique_lock lk(dev_->m);
        auto last = Clock::now();
        double credit = 0;
        while (!quit_) {
            cv_.wait_for(lk, std::chrono::milliseconds(5));
            auto now = Clock::now();
            if (!blocks_.empty() && !paused_) {
                credit += std::chrono::duration<double>(now - last).count() * bytesPerSecond_;
                auto n = static_cast<std::size_t>(credit) / align_ * align_;
                credit -= double(n);
                advanceLocked(n);
            } else {
                credit = 0;
            }
            last = now;
        }
    }

    struct Block {
        const std::uint8_t* data;
        std::size_t len;
    };

    std::shared_ptr<VirtualOutput> dev_;
    PlaybackSink& sink_;
    const double bytesPerSecond_;
    const std::size_t align_;
    // Guarded by dev_->m:
    std::deque<Block> blocks_;
    std::size_t off_ = 0;  // bytes of the front block already played
    bool paused_ = false;
    bool quit_ = false;
    std::condition_variable cv_;
    std::thread clock_;
};

class VirtualBackend final : public Backend {
public:
    std::vector<DeviceInfo> Devices(Direction dir) override
    {
        auto& r = registry();
        std::lock_guard lk(r.m);
        std::vector<DeviceInfo> out;
        if (dir == Direction::Capture)
            for (std::size_t i = 0; i < r.inputs.size(); ++i)
                out.push_back({r.inputs[i]->name, {}, i, 1});
        else
            for (std::size_t i = 0; i < r.outputs.size(); ++i)
                out.push_back({r.outputs[i]->name, {}, i, 2});
        return out;
    }

    MMRESULT OpenCapture(const DeviceInfo& info, const WAVEFORMATEX& fmt, CaptureSink& sink,
                         std::unique_ptr<CaptureStream>& out) override
    {
        auto dev = registry().input(static_cast<unsigned int>(info.id));
        if (!dev)
            return MMSYSERR_BADDEVICEID;
        if (dev->options.failOpen)
            return MMSYSERR_ALLOCATED;
        if (fmt.wBitsPerSample != 16)
            return WAVERR_BADFORMAT;  // the source holds 16-bit samples
        out = std::make_unique<VirtualCapture>(std::move(dev), fmt, sink);
        return MMSYSERR_NOERROR;
    }

    MMRESULT OpenPlayback(const DeviceInfo& info, const WAVEFORMATEX& fmt, PlaybackSink& sink,
                          std::unique_ptr<PlaybackStream>& out) override
    {
        auto dev = registry().output(static_cast<unsigned int>(info.id));
        if (!dev)
            return MMSYSERR_BADDEVICEID;
        if (dev->options.failOpen)
            return MMSYSERR_ALLOCATED;
        out = std::make_unique<VirtualPlayback>(std::move(dev), fmt, sink);
        return MMSYSERR_NOERROR;
    }
};

}  // namespace

namespace waveaudio {

Backend& VirtualDevices()
{
    static Backend& b = *new VirtualBackend;
    return b;
}

}  // namespace waveaudio

namespace vaudio {

unsigned int AddVirtualInput(const std::string& name, std::vector<std::int16_t> samples, InputOptions options)
{
    auto dev = std::make_shared<VirtualInput>();
    dev->name = name;
    dev->options = options;
    dev->samples = std::move(samples);
    auto& r = registry();
    std::lock_guard lk(r.m);
    r.inputs.push_back(std::move(dev));
    return static_cast<unsigned int>(r.inputs.size() - 1);
}

unsigned int AddVirtualInputFile(const std::string& name, const std::string& wavPath, InputOptions options)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(wavPath.c_str(), SFM_READ, &info);
    if (!f)
        return WAVE_MAPPER;
    bool usable = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV &&
                  (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 && info.channels > 0 && info.frames >= 0;
    std::vector<std::int16_t> samples;
    if (usable) {
        samples.resize(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
        sf_count_t got = sf_readf_short(f, samples.data(), info.frames);
        samples.resize(static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) *
                       static_cast<std::size_t>(info.channels));
    }
    sf_close(f);
    if (!usable)
        return WAVE_MAPPER;
    return AddVirtualInput(name, std::move(samples), options);
}

void FeedVirtualInput(unsigned int device, std::span<const std::int16_t> samples)
{
    auto dev = registry().input(device);
    if (!dev)
        return;
    std::lock_guard lk(dev->m);
    if (dev->live && dev->pos == dev->samples.size()) {
        // Sound that starts now fills only the rest of the block being recorded, as
        // on a real device: the block never carries samples from before their time.
        const double elapsed = std::chrono::duration<double>(Clock::now() - dev->blockStart).count();
        const auto frames =
            std::min<std::size_t>(static_cast<std::size_t>(std::max(0.0, elapsed) * dev->framesPerSecond), 255);
        dev->samples.insert(dev->samples.end(), frames * dev->channels, 0);
    }
    dev->samples.insert(dev->samples.end(), samples.begin(), samples.end());
    dev->cv.notify_all();
}

std::size_t VirtualInputDelivered(unsigned int device)
{
    auto dev = registry().input(device);
    if (!dev)
        return 0;
    std::lock_guard lk(dev->m);
    return dev->pos;
}

unsigned int AddVirtualOutput(const std::string& name, OutputOptions options)
{
    auto dev = std::make_shared<VirtualOutput>();
    dev->name = name;
    dev->options = options;
    auto& r = registry();
    std::lock_guard lk(r.m);
    r.outputs.push_back(std::move(dev));
    return static_cast<unsigned int>(r.outputs.size() - 1);
}

std::vector<std::uint8_t> VirtualOutputPlayed(unsigned int device)
{
    auto dev = registry().output(device);
    if (!dev)
        return {};
    std::lock_guard lk(dev->m);
    return dev->played;
}

void AdvanceVirtualOutput(unsigned int device, std::size_t bytes)
{
    auto dev = registry().output(device);
    if (!dev)
        return;
    std::lock_guard lk(dev->m);
    for (VirtualPlayback* p : dev->active)
        p->advanceLocked(bytes);
}

int VirtualOutputOpens(unsigned int device)
{
    auto dev = registry().output(device);
    if (!dev)
        return 0;
    std::lock_guard lk(dev->m);
    return dev->opens;
}

bool VirtualOutputIsOpen(unsigned int device)
{
    auto dev = registry().output(device);
    if (!dev)
        return false;
    std::lock_guard lk(dev->m);
    return dev->openNow > 0;
}

void RemoveVirtualDevices()
{
    auto& r = registry();
    std::lock_guard lk(r.m);
    r.inputs.clear();
    r.outputs.clear();
}

}  // namespace vaudio
