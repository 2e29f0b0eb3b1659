// Playing the typed file: two library sounds on the first two output devices,
// their failure boxes, and the output list's device choice.
#include <gtest/gtest.h>

#include <unistd.h>

#include "GuiSupport.h"

using namespace guitest;
using namespace std::chrono_literals;

namespace {

class TwoSoundsTest : public testing::Test {
protected:
    TwoSoundsTest()
        : path(testing::TempDir() + "quillon-two-sounds-" + std::to_string(getpid()) + ".wav"),
          bytes(WriteWav(path, DtmfRecording("#0")))
    {
    }
    ~TwoSoundsTest() override { std::remove(path.c_str()); }

    VirtualDevices devices;
    std::string path;
    std::vector<std::uint8_t> bytes;
    ModalInterceptor modal;
};

}  // namespace

TEST_F(TwoSoundsTest, PlaysTheFileOnBothDevicesToTheEnd)
{
    const vaudio::OutputOptions manual{.clock = vaudio::OutputClock::Manual};
    const unsigned int a = vaudio::AddVirtualOutput("Speaker A", manual);
    const unsigned int b = vaudio::AddVirtualOutput("Speaker B", manual);
    {
        TestDlg dlg;
        dlg.Open();
        dlg.SetWaveFile(path);
        dlg.Click(IDC_TWO_SOUNDS);
        EXPECT_TRUE(modal.boxes.empty());

        // The handler has returned; the sounds still play.
        ASSERT_TRUE(vaudio::VirtualOutputIsOpen(a));
        ASSERT_TRUE(vaudio::VirtualOutputIsOpen(b));
        vaudio::AdvanceVirtualOutput(a, bytes.size());
        vaudio::AdvanceVirtualOutput(b, bytes.size());
        EXPECT_EQ(vaudio::VirtualOutputPlayed(a), bytes);
        EXPECT_EQ(vaudio::VirtualOutputPlayed(b), bytes);

        // The next click releases them before it opens the devices again.
        dlg.Click(IDC_TWO_SOUNDS);
        EXPECT_EQ(vaudio::VirtualOutputOpens(a), 2);
        EXPECT_EQ(vaudio::VirtualOutputOpens(b), 2);
        EXPECT_TRUE(vaudio::VirtualOutputIsOpen(a));
    }
    // ...and the dialog's end releases them.
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(a));
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(b));
}

TEST_F(TwoSoundsTest, DevicesThatCannotOpenShowBothBoxesInOrder)
{
    vaudio::AddVirtualOutput("Broken A", {.failOpen = true});
    vaudio::AddVirtualOutput("Broken B", {.failOpen = true});
    TestDlg dlg;
    dlg.Open();
    dlg.SetWaveFile(path);
    dlg.Click(IDC_TWO_SOUNDS);
    ASSERT_EQ(modal.boxes.size(), 2u);
    EXPECT_EQ(modal.boxes[0].message, "Playback failed");
    EXPECT_EQ(modal.boxes[1].message, "Other Playback failed");
    EXPECT_EQ(modal.boxes[0].caption, "Quillon");
    EXPECT_EQ(modal.boxes[1].caption, "Quillon");
}

TEST_F(TwoSoundsTest, FirstSoundPlaysWhileTheSecondsFailureIsShown)
{
    const unsigned int a = vaudio::AddVirtualOutput("Speaker A");  // plays at once
    vaudio::AddVirtualOutput("Broken B", {.failOpen = true});
    std::size_t playedDuringBox = 0;
    modal.onBox = [&](const ModalInterceptor::Box&) { playedDuringBox = vaudio::VirtualOutputPlayed(a).size(); };
    TestDlg dlg;
    dlg.Open();
    dlg.SetWaveFile(path);
    dlg.Click(IDC_TWO_SOUNDS);
    ASSERT_EQ(modal.boxes.size(), 1u);
    EXPECT_EQ(modal.boxes[0].message, "Other Playback failed");
    EXPECT_EQ(playedDuringBox, bytes.size());
}

TEST_F(TwoSoundsTest, NothingToPlayShowsNothing)
{
    const unsigned int a = vaudio::AddVirtualOutput("Speaker A");
    TestDlg dlg;
    dlg.Open();
    dlg.Click(IDC_TWO_SOUNDS);  // empty path
    dlg.SetWaveFile(path + ".missing");
    dlg.Click(IDC_TWO_SOUNDS);
    dlg.Click(IDC_PLAY_FILE);
    PumpFor(50ms);
    EXPECT_TRUE(modal.boxes.empty());
    EXPECT_TRUE(vaudio::VirtualOutputPlayed(a).empty());
}
