#include "app/util/Log.h"

#include "gui/ProgressDialog.h"

#include "app/StateMachine.h"
#include "gui/Translation.h"
#include "update/ProgressTable.h"
#include "platform/Clock.h"

#include <wx/gauge.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/utils.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace Kestrel {
namespace {

constexpr int kPhaseUnchanged = 1;
constexpr int kPhaseDownload = 3;
constexpr int32_t kCodeReset = 12;
constexpr int32_t kCodeSizeAnnouncement = 13;
constexpr int32_t kCodeBlocksDone = 14;
constexpr int kWarningWrap = 365;
// The empty space around the lines and between them.
constexpr int kMargin = 8;
constexpr int kMarginWidth = 250;
constexpr int kMarginHeight = 30;
constexpr int kSpacerWidth = 30;
constexpr int kLineGap = 8;
constexpr int kWarningGap = 12;
constexpr int kBulletGap = 5;

log4cplus::Logger progressLogger() {
    return Log::logger("kestrel.windows.progress");
}

wxFont sized(int points) {
    wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font.SetPointSize(points);
    return font;
}

// Other top-level windows stay disabled while any progress dialog exists.
int openDialogs = 0;
std::unique_ptr<wxWindowDisabler> disabler;

int realPeriodMs(uint64_t logicalMs) {
    const auto real =
        std::chrono::duration_cast<std::chrono::milliseconds>(platform::realDuration(logicalMs));
    return std::max<int>(1, static_cast<int>(real.count()));
}

} // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(ProgressDialog, wxDialog)
    EVT_TIMER(ProgressDialog::kTimer, ProgressDialog::onTimer)
    EVT_CLOSE(ProgressDialog::onClose)
wxEND_EVENT_TABLE()
// clang-format on

ProgressDialog::ProgressDialog(wxWindow* parent)
    : wxDialog(parent, kDialog, wxString(), wxDefaultPosition, wxSize(400, 300), wxCAPTION),
      timer(this, kTimer), titleFont(sized(14)), textFont(sized(8)), smallFont(sized(8)) {
    auto* dialogSizer = new wxBoxSizer(wxVERTICAL);
    auto* outer = new wxPanel(this, kOuterPanel);
    auto* outerSizer = new wxBoxSizer(wxVERTICAL);
    outerSizer->Add(kMarginWidth, kMargin);
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    row->Add(kMargin, kMarginHeight);
    wxPanel* inner = progressLines(outer);
    row->Add(inner, 1, wxEXPAND);
    row->Add(kMargin, kMarginHeight);
    outerSizer->Add(row, 1, wxEXPAND);
    outerSizer->Add(kMarginWidth, kMargin);
    outer->SetSizer(outerSizer);
    dialogSizer->Add(outer, 1, wxEXPAND);
    SetSizer(dialogSizer);
    Fit();

    if (!StateMachine::instance().isIn(StateMachine::kUpdate)) {
        warningPanel->Hide();
        inner->Layout();
        Fit();
    }
    Centre(wxBOTH);

    if (openDialogs++ == 0)
        disabler = std::make_unique<wxWindowDisabler>(this);
}

wxPanel* ProgressDialog::progressLines(wxWindow* parent) {
    auto* inner = new wxPanel(parent, kInnerPanel);
    auto* innerSizer = new wxBoxSizer(wxVERTICAL);
    phaseLine = new wxStaticText(inner, kPhaseLine, guiText("Initialising"), wxDefaultPosition,
                                 wxSize(400, -1));
    phaseLine->SetFont(textFont);
    innerSizer->Add(phaseLine, 0, wxEXPAND);
    innerSizer->Add(kSpacerWidth, kLineGap);
    bar = new wxGauge(inner, kBar, kBarRange, wxDefaultPosition, wxSize(300, -1), wxGA_HORIZONTAL);
    bar->SetValue(1);
    innerSizer->Add(bar, 0, wxEXPAND);
    innerSizer->Add(kSpacerWidth, kLineGap);
    actionLine = new wxStaticText(inner, kActionLine, guiText("Initialising"), wxDefaultPosition,
                                  wxSize(300, -1));
    actionLine->SetFont(smallFont);
    innerSizer->Add(actionLine, 0, wxEXPAND);
    warningPanel = warning(inner);
    innerSizer->Add(warningPanel, 0, wxEXPAND);
    inner->SetSizer(innerSizer);
    return inner;
}

wxPanel* ProgressDialog::warning(wxWindow* parent) {
    auto* panel = new wxPanel(parent, kWarningPanel);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(kSpacerWidth, kWarningGap);
    auto* warningRow = new wxPanel(panel, kWarningRow);
    auto* rowSizer = new wxBoxSizer(wxHORIZONTAL);
    auto* bullet = new wxStaticText(warningRow, kWarningBullet, guiText("*"));
    bullet->SetFont(smallFont);
    rowSizer->Add(bullet, 0, wxRIGHT, kBulletGap);
    auto* text = new wxStaticText(
        warningRow, kWarningText,
        guiText("Please do not interrupt the update by removing your device or turning off your "
                "computer."));
    text->SetFont(smallFont);
    text->Wrap(kWarningWrap);
    rowSizer->Add(text, 1);
    warningRow->SetSizer(rowSizer);
    sizer->Add(warningRow, 0, wxEXPAND);
    panel->SetSizer(sizer);
    return panel;
}

ProgressDialog::~ProgressDialog() {
    timer.Stop();
    if (--openDialogs == 0)
        disabler.reset();
}

void ProgressDialog::update(int32_t code, int32_t value) {
    KESTREL_DEBUG(progressLogger(), "action:" << code);
    const ProgressEntry* entry = progressEntry(code);
    const int phase = entry != nullptr ? entry->phase : kPhaseUnchanged;
    if (entry != nullptr && *entry->phaseText != '\0')
        phaseLine->SetLabel(wxString(progressPhaseText(code)));
    // Unknown codes name themselves in the action line.
    if (entry == nullptr || *entry->actionText != '\0')
        actionLine->SetLabel(wxString(progressActionText(code)));
    KESTREL_DEBUG(progressLogger(), "phase:" << phase << ", previous:" << previousPhase);

    if (phase > kPhaseUnchanged && phase != previousPhase) {
        previousPhase = phase;
        if (phase == kPhaseDownload) {
            KESTREL_DEBUG(progressLogger(), "Switch to scroll bar");
            timer.Stop();
            // A second pass continues from where the bar stood, which may be its end.
            bar->SetValue(std::min(kBarRange, static_cast<int>(position)));
        } else {
            KESTREL_DEBUG(progressLogger(), "Switch to barber pole");
            if (!timer.IsRunning())
                timer.Start(realPeriodMs(kPulseMs));
            bar->Pulse();
        }
    }

    switch (code) {
    case kCodeReset:
        StateMachine::instance().dispatch(sigReset);
        break;
    case kCodeSizeAnnouncement: {
        const uint32_t bits = static_cast<uint32_t>(value);
        const uint32_t blocks = bits & 0xFFFFu;
        // A zero block count (end of a download) gives no step; a new announcement follows.
        if (blocks != 0)
            step = static_cast<double>(bits >> 16) / static_cast<double>(blocks);
        break;
    }
    case kCodeBlocksDone: {
        const int32_t blocks = value != 0 ? value : 1;
        position += blocks * step;
        bar->SetValue(std::min(kBarRange, static_cast<int>(position)));
        break;
    }
    default:
        break;
    }
}

wxString ProgressDialog::phaseText() const {
    return phaseLine->GetLabel();
}

wxString ProgressDialog::actionText() const {
    return actionLine->GetLabel();
}

int ProgressDialog::barValue() const {
    return bar->GetValue();
}

bool ProgressDialog::warningShown() const {
    return warningPanel->IsShown();
}

void ProgressDialog::onTimer(wxTimerEvent&) {
    bar->Pulse();
}

void ProgressDialog::onClose(wxCloseEvent& event) {
    if (event.CanVeto())
        event.Veto();
}

} // namespace Kestrel
