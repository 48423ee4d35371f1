#pragma once

#include <wx/dialog.h>
#include <wx/font.h>
#include <wx/timer.h>

class wxGauge;
class wxPanel;
class wxStaticText;

namespace Kestrel {

// Shows what the device check and the update are doing: a phase line, a bar (moving on its own
// outside the download, following the blocks sent during it) and an action line; during an
// update also a warning not to interrupt. Turns the library's reset notification into sigReset.
class ProgressDialog : public wxDialog {
public:
    enum Id : int {
        kDialog = 8001,
        kOuterPanel = 8080,
        kInnerPanel = 8081,
        kWarningPanel = 8082,
        kWarningRow = 8083,
        kPhaseLine = 8084,
        kBar = 8085,
        kActionLine = 8086,
        kWarningBullet = 8087,
        kWarningText = 8088,
        kTimer = 1000,
    };
    static constexpr int kBarRange = 100;
    static constexpr int kPulseMs = 80;

    explicit ProgressDialog(wxWindow* parent);
    ~ProgressDialog() override;

    // Shows one progress notification (never the end of the update, code 3).
    void update(int32_t code, int32_t value);

    // For tests: what the dialog shows.
    wxString phaseText() const;
    wxString actionText() const;
    int barValue() const;
    bool animating() const { return timer.IsRunning(); }
    bool warningShown() const;

private:
    // The phase line, the bar, the action line and below them the warning.
    wxPanel* progressLines(wxWindow* parent);
    wxPanel* warning(wxWindow* parent);

    void onTimer(wxTimerEvent& event);
    void onClose(wxCloseEvent& event);

    int previousPhase = 1;
    double position = 0.0;
    double step = 1.0;
    wxTimer timer;
    wxFont titleFont;
    wxFont textFont;
    wxFont smallFont;
    wxStaticText* phaseLine = nullptr;
    wxGauge* bar = nullptr;
    wxStaticText* actionLine = nullptr;
    wxPanel* warningPanel = nullptr;

    wxDECLARE_EVENT_TABLE();
};

} // namespace Kestrel
