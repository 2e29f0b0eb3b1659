// Uses an installed Vardell: the public headers compile as a consumer includes
// them, and the library links and runs.
#include <Vardell/AudioMonitor.h>
#include <Vardell/CWave.h>
#include <Vardell/CommandReader.h>
#include <Vardell/KeyEngine.h>
#include <Vardell/StrictDetector.h>
#include <Vardell/VirtualAudio.h>
#include <Vardell/WaveAudio.h>

#include <vector>

int main()
{
    CommandReader reader(nullptr);  // no window: the texts go nowhere
    KeyEngine engine(KeyEngine::Into(reader), true);
    const std::vector<short> silence(11025);
    engine.Feed(silence.data(), silence.size());
    reader.ProcessChar('#');
    return reader.Valid() && !CWave().IsValid() ? 0 : 1;
}
