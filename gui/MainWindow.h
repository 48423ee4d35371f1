#pragma once

#include <wx/checkbox.h>
#include <wx/font.h>
#include <wx/frame.h>
#include <wx/panel.h>
#include <wx/stattext.h>

#include <cstdint>

class wxButton;
class wxStaticBitmap;
class wxSizer;

namespace Kestrel {

// The application's frame: the artwork strip beside either the welcome page (no device yet)
// or the update page (versions on the device and in the package, cautions, Update). Its
// buttons and close box only dispatch workflow signals.
class MainWindow : public wxFrame {
public:
    enum Id : int {
        kFrame = 8000,
        kArtworkPanel = 8010,
        kUpdatePage = 8011,
        kWelcomePage = 8012,
        kMainPanel = 8013,
        kContentPanel = 8014,
        kFirmwareBlock = 8015,
        kSoftwareBlock = 8016,
        kCautionsBox = 8037,
        kUpdateLogCheck = 8058,
        kWelcomeLogCheck = 8059,
        kArtworkBitmap = 8060,
        kUpdateButton = 5100,
        kCancelButton = 5101,
        kAboutCommand = 5014,
        kNextButton = 10000,
    };
    static constexpr int kCautionRows = 4;

    explicit MainWindow(const wxString& title);

    void showPage(int page);
    // Shows the device, the package and the cautions of the installed update trait's record.
    void refresh();
    void refreshCautions();
    void setOnBattery(bool onBattery) { onBatteryFlag = onBattery; }
    bool onBattery() const { return onBatteryFlag; }
    void enableNext();
    void disableNext();
    // What a click on Update does.
    void clickUpdate();
    void showAbout();

    // For tests and screenshots: what the window shows.
    bool cautionShown(int row) const;
    bool cautionsShown() const;
    bool softwareShown() const;
    bool updatePageShown() const;
    bool updateLogChecked() const { return updateLogCheck->GetValue(); }
    bool welcomeLogChecked() const { return welcomeLogCheck->GetValue(); }
    void setWelcomeLogChecked(bool checked) { welcomeLogCheck->SetValue(checked); }
    wxString deviceName() const { return deviceNameText->GetLabel(); }
    wxString prompt() const { return promptText->GetLabel(); }
    bool nextEnabled() const;

private:
    wxPanel* headerStrip(wxWindow* parent, int id);
    wxStaticText* text(wxWindow* parent, int id, const wxString& label, const wxFont& font,
                       int width = -1, int wrap = -1);
    wxPanel* versionBlock(wxWindow* parent, int id, int firstId, const char* label,
                          wxStaticText** version, wxStaticText** packageVersion,
                          wxStaticText** detail, wxStaticText** packageDetail);
    // The update page, top down: the device's name, the column headers, the two version blocks,
    // the cautions (hidden until refreshed) and the buttons.
    wxPanel* deviceHeader(wxWindow* parent);
    // A header strip with one text, whose id follows the strip's.
    wxPanel* labelledStrip(wxWindow* parent, int id, const char* label, int width);
    wxSizer* columnHeaders(wxWindow* parent);
    wxSizer* cautionRow(wxWindow* parent, int index);
    wxPanel* cautionsPanel(wxWindow* parent);
    wxSizer* updateButtons(wxWindow* parent);
    void buildUpdatePage(wxPanel* page);
    void buildWelcomePage(wxPanel* page);
    void relayout();

    void onClose(wxCloseEvent& event);
    void onLogCheck(wxCommandEvent& event);
    void onUpdate(wxCommandEvent& event);
    void onCancel(wxCommandEvent& event);
    void onNext(wxCommandEvent& event);
    void onAbout(wxCommandEvent& event);

    wxFont titleFont;
    wxFont textFont;
    wxFont cautionFont;
    bool onBatteryFlag = false;

    wxPanel* mainPanel = nullptr;
    wxPanel* updatePage = nullptr;
    wxPanel* welcomePage = nullptr;
    wxStaticText* deviceNameText = nullptr;
    wxStaticText* deviceFirmwareVersion = nullptr;
    wxStaticText* packageFirmwareVersion = nullptr;
    wxStaticText* deviceFirmwareDate = nullptr;
    wxStaticText* packageFirmwareDate = nullptr;
    wxPanel* softwareBlock = nullptr;
    wxStaticText* deviceSoftwareVersion = nullptr;
    wxStaticText* packageSoftwareVersion = nullptr;
    wxStaticText* deviceSoftwareDescription = nullptr;
    wxStaticText* packageSoftwareDescription = nullptr;
    wxPanel* cautionsBox = nullptr;
    wxSizer* cautionRows[kCautionRows] = {};
    wxCheckBox* updateLogCheck = nullptr;
    wxCheckBox* welcomeLogCheck = nullptr;
    wxStaticText* promptText = nullptr;
    wxButton* updateButton = nullptr;
    wxButton* nextButton = nullptr;
    wxButton* closeButton = nullptr;
    wxButton* welcomeCancelButton = nullptr;

    wxDECLARE_EVENT_TABLE();
};

} // namespace Kestrel
