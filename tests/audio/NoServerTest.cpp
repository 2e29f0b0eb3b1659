// With no sound server answering, the server contributes no devices and opens fail at once, silently.
#include <cstdlib>

#include "TestSupport.h"

using namespace audiotest;

namespace {

TEST(NoServer, NoServerDevicesAndFailedOpensQuicklyAndQuietly)
{
    ::setenv("PULSE_SERVER", ("unix:" + ::testing::TempDir() + "/vardell-no-server/native").c_str(), 1);
    vaudio::UseServerDevices(true);
    vaudio::RemoveVirtualDevices();
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(waveInGetNumDevs(), 0u);
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    WAVEFORMATEX f = Mono11k();
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    EXPECT_NE(waveInOpen(&in, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_NE(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_NE(waveOutOpen(&out, 0, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(out, nullptr);
    EXPECT_NE(vaudio::SoundServerProblem(), "");  // says why, e.g. "Connection refused"
    // Generous bound: only a connection timeout would come near it.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    // Virtual devices still work, and the mapper falls back to the first of them.
    unsigned dev = vaudio::AddVirtualOutput("Fallback");
    ASSERT_EQ(waveOutGetNumDevs(), 1u);
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_TRUE(vaudio::VirtualOutputIsOpen(dev));
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    vaudio::RemoveVirtualDevices();
}

}  // namespace
