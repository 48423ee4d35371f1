#include "app/util/Log.h"

#include "gui/ErrorDialog.h"

#include "app/ErrorCodes.h"
#include "app/StateMachine.h"
#include "app/UpdateInfo.h"
#include "app/UpdateTrait.h"
#include "gui/Artwork.h"
#include "gui/Translation.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

namespace Kestrel {
namespace {

constexpr int kBorder = 5;
constexpr int kWrap = 275;
constexpr int kWidth = 400;
constexpr int kIconSize = 48;

log4cplus::Logger dialogLogger() {
    return Log::logger("kestrel.windows.error");
}

} // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(ErrorDialog, wxDialog)
    EVT_BUTTON(ErrorDialog::kOkButton, ErrorDialog::onOk)
    EVT_CLOSE(ErrorDialog::onClose)
wxEND_EVENT_TABLE()
// clang-format on

ErrorDialog::ErrorDialog(wxWindow* parent, int dialogId, const wxString& title, int stateNumber)
    : wxDialog(parent, dialogId, title, wxDefaultPosition, wxSize(kWidth, -1), wxCAPTION,
               "dialog") {
    auto* grid = new wxFlexGridSizer(2, 0, 0);
    icon = new wxStaticBitmap(this, wxID_ANY, wxNullBitmap, wxDefaultPosition,
                              wxSize(kIconSize, kIconSize));
    grid->Add(icon, 0, wxALL, kBorder);
    auto* column = new wxBoxSizer(wxVERTICAL);
    description = new wxStaticText(this, kDescription, wxString());
    description->SetFont(
        wxFont(8, wxFONTFAMILY_SWISS, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_BOLD, false, "Tahoma"));
    column->Add(description, 0, wxALL, kBorder);
    hint = new wxStaticText(this, kHint, wxString());
    column->Add(hint, 0, wxALL, kBorder);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->AddStretchSpacer();
    okButton = new wxButton(this, kOkButton, guiText("OK"));
    okButton->SetDefault();
    // The one answer takes the keyboard: Enter or Space presses it.
    okButton->SetFocus();
    buttons->Add(okButton);
    column->Add(buttons, 0, wxEXPAND | wxALL, kBorder);
    grid->Add(column, 1, wxEXPAND);
    grid->AddGrowableCol(1);

    const StateMachine& machine = StateMachine::instance();
    const int32_t error = machine.errorCode;
    retry = closeClass(error, stateNumber) == kCloseRetry;
    descriptionString = wxString(Kestrel::description(stateNumber, error));
    description->SetLabel(wxControl::EscapeMnemonics(descriptionString));
    description->Wrap(kWrap);

    const UpdateTrait* trait = machine.updateTrait;
    const UpdateInfo* info = trait != nullptr ? trait->updateInfo : nullptr;
    std::wstring hintWide;
    if (info != nullptr) {
        const auto guard = info->lock();
        KESTREL_DEBUG(dialogLogger(), "Info: " << updateLogForm(*info));
        hintWide = Kestrel::hint(stateNumber, error, info->deviceFirmware.version.previous(),
                                 info->deviceFirmware.version.current(),
                                 info->deviceSoftware.version.previous(),
                                 info->deviceSoftware.version.current());
    } else {
        hintWide = Kestrel::hint(stateNumber, error, {}, {}, {}, {});
    }
    hintString = wxString(hintWide);
    hint->SetLabel(wxControl::EscapeMnemonics(hintString));
    hint->Wrap(kWrap);

    icon->SetBitmap(loadDialogImage(dialogId == kSuccessDialog ? "SUCCESS" : "ERROR"));
    SetSizerAndFit(grid);
    Centre(wxBOTH);
}

wxString ErrorDialog::descriptionText() const {
    return descriptionString;
}

wxString ErrorDialog::hintText() const {
    return hintString;
}

void ErrorDialog::clickOk() {
    StateMachine& machine = StateMachine::instance();
    uint16_t signal = sigCancel;
    if (machine.isIn(StateMachine::kUpdateFailure) && retry)
        signal = sigRetry;
    machine.dispatch(signal, 0);
}

void ErrorDialog::onOk(wxCommandEvent&) {
    clickOk();
}

void ErrorDialog::onClose(wxCloseEvent& event) {
    // Only the workflow closes this dialog.
    if (event.CanVeto())
        event.Veto();
}

} // namespace Kestrel
