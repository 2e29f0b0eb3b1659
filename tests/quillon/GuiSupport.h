// Helpers for the Quillon GUI tests: driving the event loop, synthesising DTMF
// recordings and WAV files, intercepting modal dialogs and reaching the
// dialog's protected parts.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <wx/app.h>
#include <wx/combobox.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include "QuillonDlg.h"
#include "Resource.h"
#include "VirtualAudio.h"

namespace guitest {

using Clock = std::chrono::steady_clock;

// Handles events (and so the messages sent to the dialog) until `done` holds or
// `limit` passes; the limit only guards against hangs.
inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end)
            return false;
        if (auto* loop = wxEventLoopBase::GetActive())
            loop->YieldFor(wxEVT_CATEGORY_ALL);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline void PumpFor(std::chrono::milliseconds time)
{
    const auto end = Clock::now() + time;
    PumpUntil([&] { return Clock::now() >= end; }, time + std::chrono::seconds(1));
}

// Runs `dlg` modally; if the test's own steps fail to end it, ends it with
// wxID_ABORT after `limit` instead of hanging.
inline int ShowModalGuarded(wxDialog& dlg, std::chrono::milliseconds limit = std::chrono::seconds(15))
{
    wxTimer guard;
    guard.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (dlg.IsModal())
            dlg.EndModal(wxID_ABORT);
    });
    guard.StartOnce(static_cast<int>(limit.count()));
    return dlg.ShowModal();
}

constexpr int kRate = 11025;

inline int Samples(int ms) { return kRate * ms / 1000; }

// Keys as 80 ms tone pairs at -10 dBFS each with 60 ms gaps, after `leadMs` of
// silence and before 200 ms of silence, padded to whole 256-sample blocks.
inline std::vector<std::int16_t> DtmfRecording(std::string_view keys, int leadMs = 100)
{
    static constexpr std::string_view layout = "123A456B789C*0#D";
    static constexpr double rows[] = {697, 770, 852, 941};
    static constexpr double cols[] = {1209, 1336, 1477, 1633};
    const double amplitude = 32767.0 * std::pow(10.0, -10.0 / 20.0);
    const double twoPi = 2 * 3.14159265358979323846;
    std::vector<std::int16_t> out(Samples(leadMs), 0);
    for (char key : keys) {
        const auto index = layout.find(key);
        const double low = rows[index / 4], high = cols[index % 4];
        for (int t = 0, n = Samples(80); t < n; ++t)
            out.push_back(static_cast<std::int16_t>(
                std::lround(amplitude * (std::sin(twoPi * low * t / kRate) + std::sin(twoPi * high * t / kRate)))));
        out.insert(out.end(), Samples(60), 0);
    }
    out.insert(out.end(), Samples(200), 0);
    out.resize((out.size() + 255) / 256 * 256, 0);
    return out;
}

// Writes a 16-bit mono PCM WAV file (on this little-endian machine); returns
// the bytes of its data chunk.
inline std::vector<std::uint8_t> WriteWav(const std::string& path, const std::vector<std::int16_t>& samples)
{
    const auto size = static_cast<std::uint32_t>(samples.size() * 2);
    const std::uint32_t riffSize = 36 + size, fmtSize = 16, rate = kRate, byteRate = kRate * 2;
    const std::uint16_t pcm = 1, mono = 1, align = 2, bits = 16;
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        auto put = [f](const void* p, std::size_t n) { std::fwrite(p, 1, n, f); };
        put("RIFF", 4), put(&riffSize, 4), put("WAVEfmt ", 8), put(&fmtSize, 4), put(&pcm, 2), put(&mono, 2);
        put(&rate, 4), put(&byteRate, 4), put(&align, 2), put(&bits, 2), put("data", 4), put(&size, 4);
        put(samples.data(), size);
        std::fclose(f);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
    return {bytes, bytes + size};
}

// Intercepts every modal dialog. Message boxes are recorded and answered with
// OK without being shown; other dialogs go to `onDialog`, whose answer is
// returned from ShowModal (wxID_NONE lets the dialog run).
class ModalInterceptor : public wxModalDialogHook {
public:
    struct Box {
        std::string caption;
        std::string message;
    };
    std::vector<Box> boxes;
    std::function<void(const Box&)> onBox;
    std::function<int(wxDialog*)> onDialog = [](wxDialog*) { return wxID_CANCEL; };

    ModalInterceptor() { Register(); }

protected:
    int Enter(wxDialog* dialog) override
    {
        if (auto* box = dynamic_cast<wxMessageDialogBase*>(dialog)) {
            boxes.push_back({box->GetCaption().utf8_string(), box->GetMessage().utf8_string()});
            if (onBox)
                onBox(boxes.back());
            return wxID_OK;
        }
        return onDialog(dialog);
    }
    void Exit(wxDialog*) override {}
};

// The dialog with its protected parts reachable, and every text its command
// field is given.
class TestDlg : public CQuillonDlg {
public:
    using CQuillonDlg::m_lastCommand;
    using CQuillonDlg::m_pMonitor;
    using CQuillonDlg::m_pReader;
    using CQuillonDlg::m_sysMenu;
    using CQuillonDlg::OnCommandReceived;
    using CQuillonDlg::OnSysCommand;

    std::vector<std::string> texts;

    // Makes the window (running OnInitDialog) and starts recording the field.
    void Open(bool show = true)
    {
        CreateFromTemplate();
        m_lastCommand->Bind(wxEVT_TEXT, [this](wxCommandEvent& e) {
            texts.push_back(e.GetString().utf8_string());
            e.Skip();
        });
        if (show)
            Show();
    }

    wxComboBox* List(int id) { return static_cast<wxComboBox*>(FindWindow(id)); }

    // What a person's choice in a list does: select the entry, then notify.
    void Choose(int id, int position)
    {
        wxComboBox* list = List(id);
        list->SetSelection(position);
        wxCommandEvent event(wxEVT_COMBOBOX, id);
        event.SetEventObject(list);
        event.SetInt(position);
        list->GetEventHandler()->ProcessEvent(event);
    }

    void Click(int id)
    {
        wxWindow* button = FindWindow(id);
        wxCommandEvent event(wxEVT_BUTTON, id);
        event.SetEventObject(button);
        button->GetEventHandler()->ProcessEvent(event);
    }

    void SetWaveFile(const std::string& path)
    {
        static_cast<wxTextCtrl*>(FindWindow(IDC_WAVE_FILE))->SetValue(wxString::FromUTF8(path));
    }
};

// A clean device set-up for each test: only virtual devices, numbered from 0.
class VirtualDevices {
public:
    VirtualDevices()
    {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(false);
    }
    ~VirtualDevices() { vaudio::RemoveVirtualDevices(); }
};

}  // namespace guitest
