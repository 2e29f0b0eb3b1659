// PulseAudio backend (in progress): no server devices yet.
#include "AudioBackend.h"

namespace {
using namespace waveaudio;
class PulseBackend final : public Backend {
public:
    std::vector<DeviceInfo> devices(Direction) override { return {}; }
    MMRESULT openCapture(const DeviceInfo&, const WAVEFORMATEX&, CaptureSink&, std::unique_ptr<CaptureStream>&) override {
        return MMSYSERR_NODRIVER;
    }
    MMRESULT openPlayback(const DeviceInfo&, const WAVEFORMATEX&, PlaybackSink&, std::unique_ptr<PlaybackStream>&) override {
        return MMSYSERR_NODRIVER;
    }
};
}  // namespace

namespace waveaudio {
Backend& pulseBackend() {
    static Backend& b = *new PulseBackend;
    return b;
}
}  // namespace waveaudio
