// Helpers for the Quillon GUI tests: the event loop, test recordings, modal
// dialogs intercepted, and the dialog's protected parts.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/combobox.h>
#include <wx/evtloop.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include "AudioFile.h"
#include "QuillonDlg.h"
#include "Resource.h"
#include "Tones.h"
#include "VirtualAudio.h"

namespace guitest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

// Handles events (and so the messages sent to the dialog) until `done` holds;
// the limit only guards against hangs.
inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s)
{
    for (const auto end = Clock::now() + limit; !done(); std::this_thread::sleep_for(2ms)) {
        if (Clock::now() > end)
            return false;
        if (auto* loop = wxEventLoopBase::GetActive())
            loop->YieldFor(wxEVT_CATEGORY_ALL);
    }
    return true;
}

inline void PumpFor(std::chrono::milliseconds time)
{
    const auto end = Clock::now() + time;
    PumpUntil([&] { return Clock::now() >= end; });
}

constexpr int kRate = 11025;

// Default tones (80 ms, 60 ms gaps) after `leadMs` of silence, then 200 ms of
// silence, in whole 256-sample blocks.
inline std::vector<std::int16_t> DtmfRecording(std::string_view keys, int leadMs = 100)
{
    std::vector<std::int16_t> out(kRate * leadMs / 1000), tones = tool::GenerateTones(keys, {});
    out.insert(out.end(), tones.begin(), tones.end());
    out.resize((out.size() + kRate / 5 + 255) / 256 * 256);
    return out;
}

// Writes an 11025 Hz mono 16-bit WAV file; returns the bytes of its samples.
inline std::vector<std::uint8_t> WriteWav(const std::string& path, const std::vector<std::int16_t>& samples)
{
    std::string error;
    EXPECT_TRUE(tool::WriteDetectorWav(path, samples, error)) << error;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
    return {bytes, bytes + samples.size() * 2};
}

// Modal dialogs are recorded ("caption: message" for message boxes, else the title) and
// answered with OK unseen.
class ModalInterceptor : public wxModalDialogHook {
public:
    Texts boxes;
    std::function<void()> onBox = [] {};
    ModalInterceptor() { Register(); }

protected:
    int Enter(wxDialog* dialog) override
    {
        auto* box = dynamic_cast<wxMessageDialogBase*>(dialog);
        boxes.push_back((box ? box->GetCaption() + ": " + box->GetMessage() : dialog->GetTitle()).utf8_string());
        return onBox(), wxID_OK;
    }
    void Exit(wxDialog*) override {}
};

// The dialog with its protected parts reachable, recording every text its
// command field is given.
class TestDlg : public CQuillonDlg {
public:
    using CQuillonDlg::m_lastCommand;
    using CQuillonDlg::m_pMonitor;
    using CQuillonDlg::OnSysCommand;
    Texts texts;

    void Open(bool show = true)
    {
        CreateFromTemplate();
        m_lastCommand->Bind(wxEVT_TEXT,
                            [this](wxCommandEvent& e) { texts.push_back(e.GetString().utf8_string()), e.Skip(); });
        if (show)
            Show();
    }
    wxComboBox* List(int id) { return static_cast<wxComboBox*>(FindWindow(id)); }
    // What a person's choice in a list does: select the entry, then notify.
    void Choose(int id, int position)
    {
        List(id)->SetSelection(position);
        wxCommandEvent event(wxEVT_COMBOBOX, id);
        event.SetEventObject(List(id));
        event.SetInt(position);
        List(id)->GetEventHandler()->ProcessEvent(event);
    }
    void Click(int id)
    {
        wxCommandEvent event(wxEVT_BUTTON, id);
        event.SetEventObject(FindWindow(id));
        FindWindow(id)->GetEventHandler()->ProcessEvent(event);
    }
    // A key typed into control `focus`; keys go to the window under the pointer.
    void Press(int key, int focus = IDC_WAVE_FILE)
    {
        wxUIActionSimulator sim;
        sim.MouseMove(GetScreenRect().GetPosition() + wxPoint(5, 5));
        FindWindow(focus)->SetFocus();
        PumpFor(50ms);
        sim.Char(key);
    }
    void SetWaveFile(const std::string& path) { static_cast<wxTextCtrl*>(FindWindow(IDC_WAVE_FILE))->SetValue(path); }
};

// Only virtual devices, numbered from 0, for each test.
class QuillonTest : public testing::Test {
protected:
    QuillonTest() { vaudio::RemoveVirtualDevices(), vaudio::UseServerDevices(false); }
    ~QuillonTest() override { vaudio::RemoveVirtualDevices(); }
};

}  // namespace guitest
