// The seam between the waveIn*/waveOut* front end (handles, WAVEHDR queues,
// callback threads) and the backends that move the bytes (virtual devices, the
// PulseAudio server). Internal to the audio layer.
//
// Locking contract, which keeps every path deadlock-free:
//  - the front end never calls a stream while holding its own device lock;
//  - a backend may call a sink from its own thread while holding its own locks;
//  - after a stream's destructor returns it makes no more sink calls, and after
//    PlaybackStream::Reset returns it reports nothing more for the blocks it dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
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

class StreamSink {
public:
    // The stream is gone for good (server gone, device removed, stream error).
    // Called at most once; the stream reports nothing else afterwards.
    virtual void Failed(std::string_view reason) = 0;

protected:
    ~StreamSink() = default;
};

// Front end side of an open capture device.
class CaptureSink : public StreamSink {
public:
    // Bytes captured, in order; data == nullptr means that many bytes of silence.
    // Bytes that find no queued buffer (or arrive while stopped) are dropped.
    virtual void Captured(const std::uint8_t* data, std::size_t bytes) = 0;
    // Free bytes left in the buffer now being filled; 0 when none is queued or capture is stopped.
    virtual std::size_t Room() = 0;

protected:
    ~CaptureSink() = default;
};

// Front end side of an open playback device.
class PlaybackSink : public StreamSink {
public:
    // The oldest block given to PlaybackStream::Write and not yet reported has played.
    virtual void Played() = 0;

protected:
    ~PlaybackSink() = default;
};

class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    virtual MMRESULT Start() = 0;
    virtual void Stop() = 0;
    // A buffer was queued; pull-driven sources may fill it now.
    virtual void BuffersAdded() {}
};

// Plays the blocks it is given one after the other, without a gap between them.
class PlaybackStream {
public:
    virtual ~PlaybackStream() = default;
    // Queues a block behind the others. It stays the caller's until Played() or
    // Reset(); backends may read it until then. Played() may come before this returns.
    virtual MMRESULT Write(const std::uint8_t* data, std::size_t bytes) = 0;
    virtual MMRESULT Pause(bool paused) = 0;
    // Drops every block, position to zero, not paused.
    virtual void Reset() = 0;
};

class Backend {
public:
    virtual ~Backend() = default;
    // Devices in numbering order (a server's default device first).
    virtual std::vector<DeviceInfo> Devices(Direction dir) = 0;
    virtual MMRESULT OpenCapture(const DeviceInfo& dev, const WAVEFORMATEX& fmt, CaptureSink& sink,
                                 std::unique_ptr<CaptureStream>& out) = 0;
    virtual MMRESULT OpenPlayback(const DeviceInfo& dev, const WAVEFORMATEX& fmt, PlaybackSink& sink,
                                  std::unique_ptr<PlaybackStream>& out) = 0;
};

Backend& VirtualDevices();
Backend& ServerDevices();
// Empty while the sound server answers; otherwise why it does not.
std::string ServerProblem();

// A PCM format that both backends can take: integer PCM of 8/16/24/32 bits with a consistent block align.
bool IsSupportedPcm(const WAVEFORMATEX& fmt);

}  // namespace waveaudio
