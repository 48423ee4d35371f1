#pragma once

#include <wx/dialog.h>

class wxButton;
class wxStaticBitmap;
class wxStaticText;

namespace Kestrel {

// Reports the outcome of a workflow step: an icon, a bold description and a hint chosen by the
// workflow's error code and the opening state, and one OK button, which answers sigRetry when
// the update failed in a way that allows another attempt and sigCancel otherwise. The user
// cannot close it otherwise; the workflow closes it.
class ErrorDialog : public wxDialog {
public:
    enum Id : int {
        kDescription = 3,
        kHint = 4,
        kOkButton = 5100,
    };
    static constexpr int kErrorDialog = 0;
    static constexpr int kSuccessDialog = 1;

    ErrorDialog(wxWindow* parent, int dialogId, const wxString& title, int stateNumber);

    bool retryAllowed() const { return retry; }
    wxString descriptionText() const;
    wxString hintText() const;
    // What a click on OK does.
    void clickOk();

private:
    void onOk(wxCommandEvent& event);
    void onClose(wxCloseEvent& event);

    wxStaticBitmap* icon = nullptr;
    wxStaticText* description = nullptr;
    wxStaticText* hint = nullptr;
    wxButton* okButton = nullptr;
    bool retry = false;
    wxString descriptionString;
    wxString hintString;

    wxDECLARE_EVENT_TABLE();
};

} // namespace Kestrel
