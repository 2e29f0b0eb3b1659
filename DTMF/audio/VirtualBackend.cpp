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

    std::shared_ptr<VirtualInput> Input(unsigned int i)
    {
        std::lock_guard lk(m);
        return i < inputs.size() ? inputs[i] : nullptr;
    }
    std::shared_ptr<VirtualOutput> Output(unsigned int i)
    {
        std::lock_guard lk(m);
        return i < outputs.size() ? outputs[i] : nullptr;
    }
};

Registry& Registered()
{
    static Registry& r = *new Registry;
    return r;
}

class VirtualCapture final : public CaptureStream {
public:
    VirtualCapture(std::shared_ptr<VirtualInput> dev, const WAVEFORMATEX& fmt, CaptureSink& sink)
        : device(std::move(dev)),
          frontEnd(sink),
          blockSamples(256u * fmt.nChannels),
          period(
              std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(256.0 / fmt.nSamplesPerSec))),
          worker([this] { Run(); })
    {
        std::lock_guard lk(device->m);
        device->framesPerSecond = fmt.nSamplesPerSec;
        device->channels = fmt.nChannels;
    }

    ~VirtualCapture() override
    {
        {
            std::lock_guard lk(device->m);
            quit = true;
        }
        device->cv.notify_all();
        worker.join();
    }

    MMRESULT Start() override
    {
        SetRunning(true);
        return MMSYSERR_NOERROR;
    }
    void Stop() override { SetRunning(false); }
    void BuffersAdded() override
    {
        std::lock_guard lk(device->m);
        device->cv.notify_all();
    }

private:
    void SetRunning(bool on)
    {
        std::lock_guard lk(device->m);
        running = on;
        device->cv.notify_all();
    }

    void Run()
    {
        std::unique_lock lk(device->m);
        Clock::time_point next;
        bool wasRunning = false;
        while (!quit) {
            if (!running) {
                wasRunning = false;
                device->live = false;
                device->cv.wait(lk);
                continue;
            }
            if (!wasRunning)
                next = Clock::now() + period;  // the first block is due one period after start
            wasRunning = true;
            if (device->options.pacing == vaudio::Pacing::RealTime) {
                device->live = true;
                device->blockStart = next - period;
                if (device->cv.wait_until(lk, next, [&] { return quit || !running; }))
                    continue;
                next += period;
                DeliverBlock();
            } else if (!FillBuffer()) {
                device->cv.wait(lk);
            }
        }
        device->live = false;
    }

    // Real time: one block per period, silence once the source has run out.
    void DeliverBlock()
    {
        std::vector<std::int16_t> block(blockSamples, 0);
        std::size_t n = std::min(blockSamples, device->samples.size() - device->pos);
        std::copy_n(device->samples.begin() + static_cast<std::ptrdiff_t>(device->pos), n, block.begin());
        device->pos += n;
        frontEnd.Captured(reinterpret_cast<const std::uint8_t*>(block.data()), block.size() * 2);
    }

    // As fast as buffers: fill the buffer being filled from the source. A source that ends
    // inside a buffer has the rest padded with silence, so its last samples are not stranded.
    bool FillBuffer()
    {
        std::size_t room = frontEnd.Room() / 2;
        std::size_t avail = device->samples.size() - device->pos;
        if (room == 0 || avail == 0)
            return false;
        std::size_t n = std::min(room, avail);
        std::vector<std::int16_t> chunk(room, 0);
        std::copy_n(device->samples.begin() + static_cast<std::ptrdiff_t>(device->pos), n, chunk.begin());
        device->pos += n;
        std::size_t len = n == avail ? room : n;
        frontEnd.Captured(reinterpret_cast<const std::uint8_t*>(chunk.data()), len * 2);
        return true;
    }

    std::shared_ptr<VirtualInput> device;
    CaptureSink& frontEnd;
    const std::size_t blockSamples;
    const Clock::duration period;
    bool running = false;  // guarded by device->m
    bool quit = false;
    std::thread worker;  // last: starts once the members above exist
};

class VirtualPlayback final : public PlaybackStream {
public:
    VirtualPlayback(std::shared_ptr<VirtualOutput> dev, const WAVEFORMATEX& fmt, PlaybackSink& sink)
        : device(std::move(dev)),
          frontEnd(sink),
          bytesPerSecond(double(fmt.nSamplesPerSec) * fmt.nBlockAlign),
          align(fmt.nBlockAlign)
    {
        std::lock_guard lk(device->m);
        device->opens++;
        device->openNow++;
        device->active.push_back(this);
        if (device->options.clock == vaudio::OutputClock::RealTime)
            clockThread = std::thread([this] { Tick(); });
    }

    ~VirtualPlayback() override
    {
        {
            std::lock_guard lk(device->m);
            quit = true;
        }
        wake.notify_all();
        if (clockThread.joinable())
            clockThread.join();
        std::lock_guard lk(device->m);
        device->openNow--;
        std::erase(device->active, this);
    }

    MMRESULT Write(const std::uint8_t* data, std::size_t bytes) override
    {
        std::lock_guard lk(device->m);
        blocks.push_back({data, bytes});
        if (device->options.clock == vaudio::OutputClock::Instant)
            AdvanceLocked(SIZE_MAX);
        wake.notify_all();
        return MMSYSERR_NOERROR;
    }

    MMRESULT Pause(bool pause) override
    {
        std::lock_guard lk(device->m);
        paused = pause;
        if (!pause && device->options.clock == vaudio::OutputClock::Instant)
            AdvanceLocked(SIZE_MAX);
        wake.notify_all();
        return MMSYSERR_NOERROR;
    }

    void Reset() override
    {
        std::lock_guard lk(device->m);
        blocks.clear();
        offset = 0;
        paused = false;
    }

    // Called with device->m held. Plays on from one block into the next.
    void AdvanceLocked(std::size_t bytes)
    {
        while (!paused && !blocks.empty() && bytes > 0) {
            const auto [data, len] = blocks.front();
            std::size_t n = std::min(bytes, len - offset);
            device->played.insert(device->played.end(), data + offset, data + offset + n);
            offset += n;
            bytes -= n;
            if (offset == len) {
                blocks.pop_front();
                offset = 0;
                frontEnd.Played();
            }
        }
    }

private:
    void Tick()
    {
        std::unique_lock lk(device->m);
        auto last = Clock::now();
        double credit = 0;
        while (!quit) {
            wake.wait_for(lk, std::chrono::milliseconds(5));
            auto now = Clock::now();
            if (!blocks.empty() && !paused) {
                credit += std::chrono::duration<double>(now - last).count() * bytesPerSecond;
                auto n = static_cast<std::size_t>(credit) / align * align;
                credit -= double(n);
                AdvanceLocked(n);
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

    std::shared_ptr<VirtualOutput> device;
    PlaybackSink& frontEnd;
    const double bytesPerSecond;
    const std::size_t align;
    // Guarded by device->m:
    std::deque<Block> blocks;
    std::size_t offset = 0;  // bytes of the front block already played
    bool paused = false;
    bool quit = false;
    std::condition_variable wake;
    std::thread clockThread;
};

class VirtualBackend final : public Backend {
public:
    std::vector<DeviceInfo> Devices(Direction dir) override
    {
        auto& r = Registered();
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
        auto dev = Registered().Input(static_cast<unsigned int>(info.id));
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
        auto dev = Registered().Output(static_cast<unsigned int>(info.id));
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
    auto& r = Registered();
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

void FeedVirtualInput(unsigned int device, const std::int16_t* samples, std::size_t count)
{
    auto dev = Registered().Input(device);
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
    dev->samples.insert(dev->samples.end(), samples, samples + count);
    dev->cv.notify_all();
}

std::size_t VirtualInputDelivered(unsigned int device)
{
    auto dev = Registered().Input(device);
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
    auto& r = Registered();
    std::lock_guard lk(r.m);
    r.outputs.push_back(std::move(dev));
    return static_cast<unsigned int>(r.outputs.size() - 1);
}

std::vector<std::uint8_t> VirtualOutputPlayed(unsigned int device)
{
    auto dev = Registered().Output(device);
    if (!dev)
        return {};
    std::lock_guard lk(dev->m);
    return dev->played;
}

void AdvanceVirtualOutput(unsigned int device, std::size_t bytes)
{
    auto dev = Registered().Output(device);
    if (!dev)
        return;
    std::lock_guard lk(dev->m);
    for (VirtualPlayback* p : dev->active)
        p->AdvanceLocked(bytes);
}

int VirtualOutputOpens(unsigned int device)
{
    auto dev = Registered().Output(device);
    if (!dev)
        return 0;
    std::lock_guard lk(dev->m);
    return dev->opens;
}

bool VirtualOutputIsOpen(unsigned int device)
{
    auto dev = Registered().Output(device);
    if (!dev)
        return false;
    std::lock_guard lk(dev->m);
    return dev->openNow > 0;
}

void RemoveVirtualDevices()
{
    auto& r = Registered();
    std::lock_guard lk(r.m);
    r.inputs.clear();
    r.outputs.clear();
}

}  // namespace vaudio
