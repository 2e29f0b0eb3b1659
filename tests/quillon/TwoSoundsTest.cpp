// Playing the typed file: two library sounds on the first two output devices
// and their failure boxes.
#include <unistd.h>

#include "GuiSupport.h"

using namespace guitest;

namespace {

class TwoSoundsTest : public testing::Test {
protected:
    ~TwoSoundsTest() override { std::remove(path.c_str()); }
    VirtualDevices devices;
    std::string path = testing::TempDir() + "quillon-two-sounds-" + std::to_string(getpid()) + ".wav";
    std::vector<std::uint8_t> bytes = WriteWav(path, DtmfRecording("#0"));
    ModalInterceptor modal;
};

}  // namespace

TEST_F(TwoSoundsTest, PlaysTheFileOnBothDevicesToTheEnd)
{
    const unsigned int a = vaudio::AddVirtualOutput("Speaker A", {.clock = vaudio::OutputClock::Manual});
    const unsigned int b = vaudio::AddVirtualOutput("Speaker B", {.clock = vaudio::OutputClock::Manual});
    {
        TestDlg dlg;
        dlg.Open();
        dlg.Click(IDC_TWO_SOUNDS);  // nothing typed: no box, no device opened
        EXPECT_EQ(vaudio::VirtualOutputOpens(a), 0);
        dlg.SetWaveFile(path);
        dlg.Click(IDC_TWO_SOUNDS);
        EXPECT_TRUE(modal.boxes.empty());
        // The handler has returned; the sounds still play.
        ASSERT_TRUE(vaudio::VirtualOutputIsOpen(a) && vaudio::VirtualOutputIsOpen(b));
        vaudio::AdvanceVirtualOutput(a, bytes.size());
        vaudio::AdvanceVirtualOutput(b, bytes.size());
        EXPECT_EQ(vaudio::VirtualOutputPlayed(a), bytes);
        EXPECT_EQ(vaudio::VirtualOutputPlayed(b), bytes);
        // The next click releases them before it opens the devices again.
        dlg.Click(IDC_TWO_SOUNDS);
        EXPECT_TRUE(vaudio::VirtualOutputOpens(a) == 2 && vaudio::VirtualOutputOpens(b) == 2);
    }
    // ...and the dialog's end releases them.
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(a) || vaudio::VirtualOutputIsOpen(b));
}

TEST_F(TwoSoundsTest, DevicesThatCannotOpenShowTheirBoxesInOrder)
{
    vaudio::AddVirtualOutput("Broken A", {.failOpen = true});
    vaudio::AddVirtualOutput("Broken B", {.failOpen = true});
    TestDlg dlg;
    dlg.Open();
    dlg.SetWaveFile(path);
    dlg.Click(IDC_TWO_SOUNDS);
    EXPECT_EQ(modal.boxes, (Texts{"Quillon: Playback failed", "Quillon: Other Playback failed"}));

    // With only the second broken, the first plays while that box is shown.
    vaudio::RemoveVirtualDevices();
    const unsigned int a = vaudio::AddVirtualOutput("Speaker A");
    vaudio::AddVirtualOutput("Broken B", {.failOpen = true});
    std::size_t playedDuringBox = 0;
    modal.onBox = [&] { playedDuringBox = vaudio::VirtualOutputPlayed(a).size(); };
    modal.boxes.clear();
    dlg.Click(IDC_TWO_SOUNDS);
    EXPECT_EQ(modal.boxes, Texts{"Quillon: Other Playback failed"});
    EXPECT_EQ(playedDuringBox, bytes.size());
}
