// STUB: replaced by the real wave-audio service.
#include "VirtualAudio.h"
#include "WaveAudio.h"
unsigned int waveInGetNumDevs() { return 0; }
MMRESULT waveInGetDevCapsA(std::uintptr_t, WAVEINCAPSA*, unsigned int) { return MMSYSERR_BADDEVICEID; }
MMRESULT waveInOpen(HWAVEIN*, unsigned int, const WAVEFORMATEX*, DWORD_PTR, DWORD_PTR, DWORD) { return MMSYSERR_BADDEVICEID; }
MMRESULT waveInPrepareHeader(HWAVEIN, WAVEHDR*, unsigned int) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveInUnprepareHeader(HWAVEIN, WAVEHDR*, unsigned int) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveInAddBuffer(HWAVEIN, WAVEHDR*, unsigned int) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveInStart(HWAVEIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveInStop(HWAVEIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveInReset(HWAVEIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveInClose(HWAVEIN) { return MMSYSERR_INVALHANDLE; }
unsigned int waveOutGetNumDevs() { return 0; }
MMRESULT waveOutGetDevCapsA(std::uintptr_t, WAVEOUTCAPSA*, unsigned int) { return MMSYSERR_BADDEVICEID; }
MMRESULT waveOutOpen(HWAVEOUT*, unsigned int, const WAVEFORMATEX*, DWORD_PTR, DWORD_PTR, DWORD) { return MMSYSERR_BADDEVICEID; }
MMRESULT waveOutPrepareHeader(HWAVEOUT, WAVEHDR*, unsigned int) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveOutUnprepareHeader(HWAVEOUT, WAVEHDR*, unsigned int) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveOutWrite(HWAVEOUT, WAVEHDR*, unsigned int) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveOutPause(HWAVEOUT) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveOutRestart(HWAVEOUT) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveOutReset(HWAVEOUT) { return MMSYSERR_INVALHANDLE; }
MMRESULT waveOutClose(HWAVEOUT) { return MMSYSERR_INVALHANDLE; }
BOOL PlaySoundA(const char*, HMODULE, DWORD) { return 0; }
namespace vaudio {
unsigned int AddVirtualInput(const std::string&, std::vector<std::int16_t>, InputOptions) { return WAVE_MAPPER; }
unsigned int AddVirtualInputFile(const std::string&, const std::string&, InputOptions) { return WAVE_MAPPER; }
void FeedVirtualInput(unsigned int, std::span<const std::int16_t>) {}
std::size_t VirtualInputDelivered(unsigned int) { return 0; }
unsigned int AddVirtualOutput(const std::string&, OutputOptions) { return WAVE_MAPPER; }
std::vector<std::uint8_t> VirtualOutputPlayed(unsigned int) { return {}; }
void AdvanceVirtualOutput(unsigned int, std::size_t) {}
int VirtualOutputOpens(unsigned int) { return 0; }
bool VirtualOutputIsOpen(unsigned int) { return false; }
void RemoveVirtualDevices() {}
void UseServerDevices(bool) {}
}
