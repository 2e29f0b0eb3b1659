// The seam between the waveIn*/waveOut* front end (handles, WAVEHDR queues,
// callback threads) and the backends that move the bytes (virtual devices, the
// PulseAudio server). Internal to the audio layer.
//
// Locking contract, which keeps every path deadlock-free:
//  - the front end never calls a stream while holding its own device lock;
//  - a backend may call a sink from its own thread while holding its own locks;
//  - after a stream's destructor returns it makes no more sink calls, and after
//    PlaybackStream::reset returns it reports nothing more for the reset block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "WaveAudio.h"

namespace waveaudio {

enum class Direction { Capture, Playback };

struct DeviceInfo {
    std::string name;    // description as the backend gives it (the front end cuts it to 31 chars)
    std::string key;     // the backend's own name for reopening (server source/sink name)
    std::size_t id = 0;  // the backend's own index (virtual registry slot)
    WORD channels = 1;
};

// Front end side of an open capture device.
class CaptureSink {
public:
    // Bytes captured, in order; data == nullptr means that many bytes of silence.
    // Bytes that find no queued buffer (or arrive while stopped) are dropped.
    virtual void captured(const std::uint8_t* data, std::size_t bytes) = 0;
    // Free bytes left in the buffer now being filled; 0 when none is queued or capture is stopped.
    virtual std::size_t room() = 0;

protected:
    ~CaptureSink() = default;
};

// Front end side of an open playback device.
class PlaybackSink {
public:
    // The block given to PlaybackStream::play has fully played.
    virtual void played() = 0;

protected:
    ~PlaybackSink() = default;
};

class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    virtual MMRESULT start() = 0;
    virtual void stop() = 0;
    // A buffer was queued; pull-driven sources may fill it now.
    virtual void buffersAdded() {}
};

// Plays one block at a time; the front end hands over the next after played().
class PlaybackStream {
public:
    virtual ~PlaybackStream() = default;
    // The block stays the caller's until played() or reset(); backends may read it until then.
    virtual MMRESULT play(const std::uint8_t* data, std::size_t bytes) = 0;
    virtual MMRESULT pause(bool paused) = 0;
    // Drops the rest of the block, position to zero, not paused.
    virtual void reset() = 0;
};

class Backend {
public:
    virtual ~Backend() = default;
    // Devices in numbering order (a server's default device first).
    virtual std::vector<DeviceInfo> devices(Direction dir) = 0;
    virtual MMRESULT openCapture(const DeviceInfo& dev, const WAVEFORMATEX& fmt, CaptureSink& sink,
                                 std::unique_ptr<CaptureStream>& out) = 0;
    virtual MMRESULT openPlayback(const DeviceInfo& dev, const WAVEFORMATEX& fmt, PlaybackSink& sink,
                                  std::unique_ptr<PlaybackStream>& out) = 0;
};

Backend& virtualBackend();
Backend& pulseBackend();

// A PCM format that both backends can take: integer PCM of 8/16/24/32 bits with a consistent block align.
bool isSupportedPcm(const WAVEFORMATEX& fmt);

}  // namespace waveaudio
