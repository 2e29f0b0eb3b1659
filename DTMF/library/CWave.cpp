// STUB
#include "CWave.h"
CWave::CWave() = default;
CWave::CWave(const CWave&) {}
CWave& CWave::operator=(const CWave&) { return *this; }
CWave::~CWave() = default;
int CWave::Load(const char*) { return 0; }
int CWave::Save(char*) { return 0; }
short CWave::GetChannels() { return 0; }
unsigned long CWave::GetSampleRate() { return 0; }
short CWave::GetBitsPerSample() { return 0; }
unsigned char* CWave::GetData() { return data; }
unsigned long CWave::GetSize() { return dataSize; }
int CWave::IsValid() { return data != nullptr; }
void CWave::SetDevice(int id) { deviceId = id; }
int CWave::Play() { return 0; }
int CWave::Pause() { return 0; }
int CWave::Stop() { return 0; }
int CWave::IsPlaying() { return 0; }
int CWave::IsPaused() { return 0; }
int CWave::IsStopped() { return 1; }
int CWave::Mix(CWave&) { return 0; }
int CWave::Close() { return 1; }
int CWave::Open(int, short, unsigned long, short) { return 0; }
int CWave::WaveOut_Proc(HWAVEOUT, unsigned int, unsigned long, unsigned long, unsigned long) { return 1; }
