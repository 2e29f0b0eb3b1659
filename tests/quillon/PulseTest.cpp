// End to end through the real sound server: Quillon listens on the test sink's
// monitor, chosen from its list, while a command is played into the sink.
#include <unistd.h>

#include "GuiSupport.h"

using namespace guitest;

TEST(QuillonPulse, ReceivesACommandPlayedIntoTheSink)
{
    vaudio::RemoveVirtualDevices();
    vaudio::UseServerDevices(true);
    const std::string path = testing::TempDir() + "quillon-pulse-" + std::to_string(getpid()) + ".wav";
    WriteWav(path, DtmfRecording("#12", 300));
    TestDlg dlg;
    dlg.Open();
    const int monitor = dlg.List(IDC_INPUT_DEVICE)->FindString("Monitor of DTMF-Test-Sink", true);
    const int sink = dlg.List(IDC_OUTPUT_DEVICE)->FindString("DTMF-Test-Sink", true);
    ASSERT_NE(monitor, wxNOT_FOUND);
    ASSERT_NE(sink, wxNOT_FOUND);
    dlg.Choose(IDC_INPUT_DEVICE, monitor);
    ASSERT_NE(dlg.m_pMonitor, nullptr);
    CWave sound;
    sound.SetDevice(sink);
    ASSERT_EQ(sound.Load(path.c_str()), 1);
    ASSERT_NE(sound.Play(), 0);
    EXPECT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "#12"; }));
    EXPECT_EQ(dlg.texts, (Texts{"#", "#1", "#12"}));
    std::remove(path.c_str());
}
