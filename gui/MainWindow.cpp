#include "app/util/Log.h"

#include "gui/MainWindow.h"

#include "app/Cautions.h"
#include "app/StateMachine.h"
#include "app/UpdateInfo.h"
#include "app/UpdateTrait.h"
#include "gui/Application.h"
#include "gui/Artwork.h"
#include "gui/Translation.h"
#include "app/util/LoggingConfiguration.h"

#include <KestrelVersion.h>

#include <wx/aboutdlg.h>
#include <wx/accel.h>
#include <wx/button.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>

namespace Kestrel {
namespace {

constexpr const char* kArtworkName = "../images/Image.png";

const wxColour kHeaderBackground(70, 137, 209);
const wxColour kHeaderText(255, 255, 255);

constexpr int kTitlePoints = 14;
constexpr int kTextPoints = 8;
constexpr int kCautionPoints = 8;

constexpr int kTypeColumnWidth = 100;
constexpr int kVersionColumnWidth = 180;
constexpr int kVersionWrap = 182;
constexpr int kPageWidth = 476;
constexpr int kWelcomeTitleWrap = 470;
constexpr int kWelcomeWrap = 475;
constexpr int kCautionWrap = 435;
constexpr int kBulletWidth = 30;
constexpr int kDeviceNameWidth = 400;
constexpr int kDeviceNameHeight = 24;
constexpr int kArtworkWidth = 134;
constexpr int kArtworkHeight = 327;
constexpr int kBorder = 5;

constexpr int kTightBorder = 3;
constexpr int kButtonGap = 10;
constexpr int kButtonsTop = 8;
constexpr int kParagraphGap = 10;

// The pages' other controls. A header strip's text takes the id after the strip's; a version
// block's six texts take the ids from its first on.
enum ControlId : int {
    kDeviceHeader = 8017,
    kDeviceNameText = 8018,
    kTypeHeader = 8019,
    kOnDeviceHeader = 8021,
    kAvailableHeader = 8023,
    kFirmwareTexts = 8025,
    kSoftwareTexts = 8031,
    kCautionsHeader = 8038,
    kOlderBullet = 8041,
    kOlderText = 8042,
    kSameBullet = 8044,
    kSameText = 8045,
    kRecoveryBullet = 8047,
    kRecoveryText = 8048,
    kBatteryBullet = 8050,
    kBatteryText = 8051,
    kWelcomeTitle = 8052,
    kWelcomeText = 8053,
    kPurposeText = 8054,
    kAdviceText = 8055,
    kPromptText = 8056,
};

// The controls of the caution rows, in the order of the cautions.
struct CautionRow {
    int bulletId;
    int textId;
};
constexpr CautionRow kCautionControls[MainWindow::kCautionRows] = {{kOlderBullet, kOlderText},
                                                                   {kSameBullet, kSameText},
                                                                   {kRecoveryBullet, kRecoveryText},
                                                                   {kBatteryBullet, kBatteryText}};
static_assert(MainWindow::kCautionRows == kCautionCount, "one row per caution");

log4cplus::Logger windowLogger() {
    return Log::logger("kestrel.windows.main");
}

wxFont sized(int points) {
    wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font.SetPointSize(points);
    return font;
}

wxString narrow(const std::string& text) {
    return wxString::FromUTF8(text);
}

UpdateInfo* installedUpdateInfo() {
    UpdateTrait* trait = StateMachine::instance().updateTrait;
    return trait != nullptr ? trait->updateInfo : nullptr;
}

// The label with its first letter as the keyboard mnemonic (Alt+letter); the catalog's text
// keeps its words.
wxString withMnemonic(const wxString& label) {
    wxString escaped = label;
    escaped.Replace("&", "&&");
    return "&" + escaped;
}

void dispatchSignal(uint16_t signal, uint8_t first = 0) {
    StateMachine::instance().dispatch(HsmEvent{signal, first, 0, 0});
}

} // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(MainWindow, wxFrame)
    EVT_CLOSE(MainWindow::onClose)
    EVT_CHECKBOX(MainWindow::kUpdateLogCheck, MainWindow::onLogCheck)
    EVT_BUTTON(MainWindow::kUpdateButton, MainWindow::onUpdate)
    EVT_BUTTON(MainWindow::kCancelButton, MainWindow::onCancel)
    EVT_CHECKBOX(MainWindow::kWelcomeLogCheck, MainWindow::onLogCheck)
    EVT_BUTTON(MainWindow::kNextButton, MainWindow::onNext)
    EVT_MENU(MainWindow::kAboutCommand, MainWindow::onAbout)
    EVT_MENU(MainWindow::kCancelButton, MainWindow::onCancel)
wxEND_EVENT_TABLE()
// clang-format on

MainWindow::MainWindow(const wxString& title)
    : wxFrame(nullptr, kFrame, title, wxDefaultPosition, wxSize(250, 200),
              wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxRESIZE_BORDER),
      titleFont(sized(kTitlePoints)), textFont(sized(kTextPoints)),
      cautionFont(sized(kCautionPoints)) {
    mainPanel = new wxPanel(this, kMainPanel, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL);
    auto* mainSizer = new wxBoxSizer(wxVERTICAL);
    mainSizer->Add(400, 8);
    auto* row = new wxBoxSizer(wxHORIZONTAL);

    auto* artworkPanel = new wxPanel(mainPanel, kArtworkPanel, wxDefaultPosition, wxDefaultSize,
                                     wxBORDER_NONE, "Artwork");
    auto* artworkSizer = new wxBoxSizer(wxVERTICAL);
    auto* artwork = new wxStaticBitmap(artworkPanel, kArtworkBitmap, loadBitmap(kArtworkName),
                                       wxDefaultPosition, wxSize(kArtworkWidth, kArtworkHeight));
    artwork->SetMinSize(wxSize(kArtworkWidth, kArtworkHeight));
    artworkSizer->Add(artwork, 0, wxALIGN_CENTER_HORIZONTAL | wxALL, kBorder);
    artworkPanel->SetSizer(artworkSizer);
    row->Add(artworkPanel, 0, wxEXPAND);

    updatePage = new wxPanel(mainPanel, kUpdatePage, wxDefaultPosition, wxDefaultSize,
                             wxBORDER_NONE | wxTAB_TRAVERSAL, "Update");
    updatePage->SetMinSize(wxSize(kPageWidth, -1));
    buildUpdatePage(updatePage);
    row->Add(updatePage, 1, wxEXPAND | wxALL, kBorder);

    welcomePage = new wxPanel(mainPanel, kWelcomePage, wxDefaultPosition, wxDefaultSize,
                              wxBORDER_NONE | wxTAB_TRAVERSAL, "Idle");
    welcomePage->SetMinSize(wxSize(kPageWidth, -1));
    buildWelcomePage(welcomePage);
    row->Add(welcomePage, 1, wxEXPAND | wxALL, kBorder);

    mainSizer->Add(row, 1, wxEXPAND);
    mainPanel->SetSizer(mainSizer);
    auto* frameSizer = new wxBoxSizer(wxVERTICAL);
    frameSizer->Add(mainPanel, 1, wxEXPAND);
    SetSizer(frameSizer);

    // The framework has no system menu here; F1 gives the About box instead. Escape answers
    // as Cancel or Close does, as it would in a dialog.
    wxAcceleratorEntry keys[] = {
        wxAcceleratorEntry(wxACCEL_NORMAL, WXK_F1, kAboutCommand),
        wxAcceleratorEntry(wxACCEL_NORMAL, WXK_ESCAPE, kCancelButton),
    };
    SetAcceleratorTable(wxAcceleratorTable(WXSIZEOF(keys), keys));

    welcomeLogCheck->SetValue(Logging::loggingEnabled());
    const wxIcon icon = loadIcon("APP_ICON");
    if (icon.IsOk())
        SetIcon(icon);
    nextButton->Disable();
    nextButton->Hide();
    welcomeCancelButton->Hide();
    row->Show(updatePage, false);
    row->Show(welcomePage, true);
    Fit();
    Centre(wxBOTH);
}

wxPanel* MainWindow::headerStrip(wxWindow* parent, int id) {
    auto* strip = new wxPanel(parent, id);
    strip->SetBackgroundColour(kHeaderBackground);
    strip->SetForegroundColour(kHeaderText);
    return strip;
}

wxStaticText* MainWindow::text(wxWindow* parent, int id, const wxString& label, const wxFont& font,
                               int width, int wrap) {
    auto* control = new wxStaticText(parent, id, wxControl::EscapeMnemonics(label),
                                     wxDefaultPosition, wxSize(width, -1));
    control->SetFont(font);
    if (parent->GetBackgroundColour() == kHeaderBackground)
        control->SetForegroundColour(kHeaderText);
    if (wrap > 0)
        control->Wrap(wrap);
    if (width > 0)
        control->SetMinSize(wxSize(width, -1));
    return control;
}

wxPanel* MainWindow::versionBlock(wxWindow* parent, int id, int firstId, const char* label,
                                  wxStaticText** version, wxStaticText** packageVersion,
                                  wxStaticText** detail, wxStaticText** packageDetail) {
    const bool firmware = id == kFirmwareBlock;
    auto* block = new wxPanel(parent, id);
    auto* grid = new wxFlexGridSizer(3, kBorder, kBorder);
    grid->AddGrowableCol(1);
    grid->AddGrowableCol(2);
    grid->Add(text(block, firstId, guiText(label), textFont, kTypeColumnWidth));
    *version = text(block, firstId + 1, firmware ? "FW-Dev-Version" : "SW-Dev-Version", textFont,
                    kVersionColumnWidth, kVersionWrap);
    grid->Add(*version);
    *packageVersion = text(block, firstId + 2, firmware ? "FW-Pck-Version" : "SW-Pck-Version",
                           textFont, kVersionColumnWidth, kVersionWrap);
    grid->Add(*packageVersion);
    grid->Add(text(block, firstId + 3, wxString(), textFont));
    // The details take their column's width as the versions above them do: a label sized to
    // its measured text alone can lose its last pixels where the drawn glyphs overhang the
    // measure (wine's Tahoma cut the dates' last digit).
    *detail = text(block, firstId + 4, firmware ? "FW-Dev-Date" : "SW-Dev-Descr", textFont,
                   kVersionColumnWidth, kVersionWrap);
    grid->Add(*detail);
    *packageDetail = text(block, firstId + 5, firmware ? "FW-Pck-Date" : "SW-Pck-Descr", textFont,
                          kVersionColumnWidth, kVersionWrap);
    grid->Add(*packageDetail);
    block->SetSizer(grid);
    return block;
}

wxPanel* MainWindow::deviceHeader(wxWindow* parent) {
    wxPanel* header = headerStrip(parent, kDeviceHeader);
    auto* sizer = new wxBoxSizer(wxHORIZONTAL);
    deviceNameText = text(header, kDeviceNameText, "Device Name", titleFont, kDeviceNameWidth);
    deviceNameText->SetMinSize(wxSize(kDeviceNameWidth, kDeviceNameHeight));
    sizer->Add(deviceNameText, 1, wxALL, kBorder);
    header->SetSizer(sizer);
    return header;
}

wxPanel* MainWindow::labelledStrip(wxWindow* parent, int id, const char* label, int width) {
    wxPanel* strip = headerStrip(parent, id);
    auto* sizer = new wxBoxSizer(wxHORIZONTAL);
    sizer->Add(text(strip, id + 1, guiText(label), textFont, width), 1, wxALL, kTightBorder);
    strip->SetSizer(sizer);
    return strip;
}

wxSizer* MainWindow::columnHeaders(wxWindow* parent) {
    auto* columns = new wxFlexGridSizer(3, 0, 0);
    columns->AddGrowableCol(1);
    columns->AddGrowableCol(2);
    columns->Add(labelledStrip(parent, kTypeHeader, "Type", kTypeColumnWidth), 1, wxEXPAND);
    columns->Add(labelledStrip(parent, kOnDeviceHeader, "On Device", kVersionColumnWidth), 1,
                 wxEXPAND);
    columns->Add(labelledStrip(parent, kAvailableHeader, "Available", kVersionColumnWidth), 1,
                 wxEXPAND);
    return columns;
}

wxSizer* MainWindow::cautionRow(wxWindow* parent, int index) {
    const CautionRow& controls = kCautionControls[index];
    const Caution& caution = kCautions[index];
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    auto* bullet =
        new wxStaticText(parent, controls.bulletId, guiText("*"), wxDefaultPosition,
                         wxSize(kBulletWidth, -1), wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
    bullet->SetFont(cautionFont);
    bullet->SetMinSize(wxSize(kBulletWidth, -1));
    row->Add(bullet, 0);
    // The long texts are wrapped so that they keep to the page's width.
    const bool wrapped = caution.hint == HintRecovery || caution.hint == HintBattery;
    row->Add(text(parent, controls.textId, guiText(caution.text), cautionFont, -1,
                  wrapped ? kCautionWrap : -1),
             1);
    return row;
}

wxPanel* MainWindow::cautionsPanel(wxWindow* parent) {
    auto* panel = new wxPanel(parent, kCautionsBox);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(labelledStrip(panel, kCautionsHeader, "Cautions", -1), 0, wxEXPAND | wxBOTTOM,
               kTightBorder);
    for (int index = 0; index < kCautionRows; ++index) {
        cautionRows[index] = cautionRow(panel, index);
        sizer->Add(cautionRows[index], 0, wxEXPAND | wxBOTTOM, kTightBorder);
    }
    panel->SetSizer(sizer);
    return panel;
}

wxSizer* MainWindow::updateButtons(wxWindow* parent) {
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    updateLogCheck =
        new wxCheckBox(parent, kUpdateLogCheck, withMnemonic(guiText("Generate log file")));
    buttons->Add(updateLogCheck, 0, wxALIGN_CENTER_VERTICAL);
    buttons->AddStretchSpacer();
    updateButton = new wxButton(parent, kUpdateButton, withMnemonic(guiText("Update")));
    buttons->Add(updateButton);
    buttons->AddSpacer(kButtonGap);
    buttons->Add(new wxButton(parent, kCancelButton, withMnemonic(guiText("Cancel"))));
    return buttons;
}

void MainWindow::buildUpdatePage(wxPanel* page) {
    auto* pageSizer = new wxBoxSizer(wxVERTICAL);
    auto* content = new wxPanel(page, kContentPanel);
    auto* contentSizer = new wxBoxSizer(wxVERTICAL);
    contentSizer->Add(deviceHeader(content), 0, wxEXPAND | wxBOTTOM, kBorder);
    contentSizer->Add(columnHeaders(content), 0, wxEXPAND | wxBOTTOM, kBorder);
    contentSizer->Add(versionBlock(content, kFirmwareBlock, kFirmwareTexts, "Firmware",
                                   &deviceFirmwareVersion, &packageFirmwareVersion,
                                   &deviceFirmwareDate, &packageFirmwareDate),
                      0, wxEXPAND | wxALL, kTightBorder);
    softwareBlock = versionBlock(content, kSoftwareBlock, kSoftwareTexts, "Software",
                                 &deviceSoftwareVersion, &packageSoftwareVersion,
                                 &deviceSoftwareDescription, &packageSoftwareDescription);
    contentSizer->Add(softwareBlock, 0, wxEXPAND | wxALL, kTightBorder);
    cautionsBox = cautionsPanel(content);
    contentSizer->Add(cautionsBox, 0, wxEXPAND | wxTOP, kBorder);
    content->SetSizer(contentSizer);
    pageSizer->Add(content, 1, wxEXPAND);
    pageSizer->Add(updateButtons(page), 0, wxEXPAND | wxTOP, kButtonsTop);
    page->SetSizer(pageSizer);

    cautionsBox->Hide();
    for (wxSizer* row : cautionRows)
        cautionsBox->GetSizer()->Show(row, false);
}

void MainWindow::buildWelcomePage(wxPanel* page) {
    auto* pageSizer = new wxBoxSizer(wxVERTICAL);
    pageSizer->Add(text(page, kWelcomeTitle, guiText("Welcome"), titleFont, -1, kWelcomeTitleWrap),
                   0, wxBOTTOM, kParagraphGap);
    wxStaticText* welcome =
        text(page, kWelcomeText,
             wxString::Format(guiText("Welcome to \"%s\"."),
                              wxTheApp != nullptr ? wxTheApp->GetAppDisplayName() : wxString()),
             textFont, -1, kWelcomeWrap);
    welcome->Wrap(welcome->GetSize().GetWidth());
    pageSizer->Add(welcome, 0, wxBOTTOM, kParagraphGap);
    pageSizer->Add(text(page, kPurposeText,
                        guiText("This application allows you to update your devices."), textFont,
                        -1, kWelcomeWrap),
                   0, wxBOTTOM, kParagraphGap);
    pageSizer->Add(text(page, kAdviceText,
                        guiText("Please ensure that the device is inserted and configured "
                                "properly, all other applications are closed and the PC is "
                                "using the mains."),
                        textFont, -1, kWelcomeWrap),
                   0, wxBOTTOM, kParagraphGap);
    promptText = text(page, kPromptText, guiText("To continue, insert your device."), textFont, -1,
                      kWelcomeWrap);
    pageSizer->Add(promptText, 0, wxBOTTOM, kParagraphGap);
    pageSizer->AddStretchSpacer();

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    welcomeLogCheck =
        new wxCheckBox(page, kWelcomeLogCheck, withMnemonic(guiText("Generate log file")));
    buttons->Add(welcomeLogCheck, 0, wxALIGN_CENTER_VERTICAL);
    buttons->AddStretchSpacer();
    nextButton = new wxButton(page, kNextButton, withMnemonic(guiText("Next")));
    buttons->Add(nextButton);
    buttons->AddSpacer(kButtonGap);
    closeButton = new wxButton(page, kCancelButton, withMnemonic(guiText("Close")));
    buttons->Add(closeButton);
    welcomeCancelButton = new wxButton(page, kCancelButton, withMnemonic(guiText("Cancel")));
    buttons->Add(welcomeCancelButton, 0, wxLEFT, kButtonGap);
    pageSizer->Add(buttons, 0, wxEXPAND | wxTOP, kButtonsTop);
    page->SetSizer(pageSizer);
}

void MainWindow::relayout() {
    updatePage->Layout();
    welcomePage->Layout();
    mainPanel->Layout();
    Fit();
}

void MainWindow::showPage(int page) {
    wxSizer* row = updatePage->GetContainingSizer();
    if (page == kUpdatePage) {
        row->Show(welcomePage, false);
        row->Show(updatePage, true);
        updateLogCheck->SetValue(welcomeLogCheck->GetValue());
    } else {
        row->Show(updatePage, false);
        row->Show(welcomePage, true);
    }
    relayout();
    // Enter starts the update on the update page; the welcome page starts at its first control.
    if (page == kUpdatePage) {
        updateButton->SetDefault();
        updateButton->SetFocus();
    } else {
        welcomeLogCheck->SetFocus();
    }
}

void MainWindow::refresh() {
    const UpdateInfo* info = installedUpdateInfo();
    std::unique_lock<std::mutex> guard;
    if (info != nullptr)
        guard = info->lock();
    softwareBlock->GetContainingSizer()->Show(
        softwareBlock, info != nullptr && (!info->deviceSoftware.version.current().empty() ||
                                           !info->package.software.version.current().empty()));
    if (info != nullptr) {
        KESTREL_DEBUG(windowLogger(), "Refresh using " << deviceLogForm(*info));
        deviceNameText->SetLabel(wxControl::EscapeMnemonics(narrow(info->modelName)));
        deviceFirmwareVersion->SetLabel(narrow(info->deviceFirmware.version.current()));
        deviceFirmwareDate->SetLabel(narrow(info->deviceFirmware.detail));
        deviceSoftwareVersion->SetLabel(narrow(info->deviceSoftware.version.current()));
        deviceSoftwareDescription->SetLabel(narrow(info->deviceSoftware.detail));
        deviceFirmwareVersion->Wrap(kVersionWrap);
        deviceSoftwareVersion->Wrap(kVersionWrap);
        deviceFirmwareDate->Wrap(kVersionWrap);
        deviceSoftwareDescription->Wrap(kVersionWrap);

        KESTREL_DEBUG(windowLogger(), "Refresh using (pck "
                                          << firmwareLogForm(info->package.firmware) << " "
                                          << softwareLogForm(info->package.software) << ")");
        packageFirmwareVersion->SetLabel(narrow(info->package.firmware.version.current()));
        packageFirmwareDate->SetLabel(narrow(info->package.firmware.detail));
        packageSoftwareVersion->SetLabel(narrow(info->package.software.version.current()));
        packageSoftwareDescription->SetLabel(narrow(info->package.software.detail));
        packageFirmwareVersion->Wrap(kVersionWrap);
        packageSoftwareVersion->Wrap(kVersionWrap);
        packageFirmwareDate->Wrap(kVersionWrap);
        packageSoftwareDescription->Wrap(kVersionWrap);
    } else {
        KESTREL_ERROR(windowLogger(), "Cannot refresh window");
        KESTREL_ERROR(windowLogger(), "Cannot refresh package info");
    }
    if (guard.owns_lock())
        guard.unlock();
    refreshCautions();
}

void MainWindow::refreshCautions() {
    const UpdateInfo* info = installedUpdateInfo();
    if (info == nullptr) {
        KESTREL_ERROR(windowLogger(), "Cannot refresh hints");
        relayout();
        return;
    }
    const uint32_t shown = shownCautions(*info);
    wxSizer* cautionsSizer = cautionsBox->GetSizer();
    for (int index = 0; index < kCautionRows; ++index)
        cautionsSizer->Show(cautionRows[index], (shown & kCautions[index].hint) != 0);
    cautionsBox->GetContainingSizer()->Show(cautionsBox, shown != 0);
    relayout();
}

bool MainWindow::cautionShown(int row) const {
    return row >= 0 && row < kCautionRows && cautionsBox->GetSizer()->IsShown(cautionRows[row]);
}

bool MainWindow::cautionsShown() const {
    return cautionsBox->IsShown();
}

bool MainWindow::softwareShown() const {
    return softwareBlock->IsShown();
}

bool MainWindow::updatePageShown() const {
    return updatePage->IsShown();
}

bool MainWindow::nextEnabled() const {
    return nextButton->IsEnabled();
}

void MainWindow::enableNext() {
    nextButton->Enable();
    nextButton->SetDefault();
    welcomeCancelButton->SetLabel(withMnemonic(guiText("Cancel")));
    promptText->SetLabel(guiText("To continue, click \"Next\"."));
    promptText->Wrap(kWelcomeWrap);
    relayout();
}

void MainWindow::disableNext() {
    nextButton->Disable();
    promptText->SetLabel(guiText("To continue, insert your device."));
    promptText->Wrap(kWelcomeWrap);
    relayout();
}

void MainWindow::clickUpdate() {
    dispatchSignal(sigUpdate);
}

void MainWindow::showAbout() {
    wxAboutDialogInfo about;
    const wxIcon icon = loadIcon("APP_ICON");
    if (icon.IsOk())
        about.SetIcon(icon);
    about.SetName(kApplicationName);
    about.SetVersion(kVersion);
    about.SetCopyright(guiText("Copyright © 2026 Velmar nv. Released under the MIT License."));
    wxAboutBox(about, this);
}

void MainWindow::onClose(wxCloseEvent& event) {
    // The workflow decides; the window dispatch closes the frame when the workflow ends.
    if (event.CanVeto())
        event.Veto();
    dispatchSignal(sigCancel);
}

void MainWindow::onLogCheck(wxCommandEvent& event) {
    const bool checked = event.IsChecked();
    KESTREL_DEBUG(windowLogger(), (checked ? "Do Generate Log" : "Do Not Generate Log"));
    Logging::setLogging(checked, false);
}

void MainWindow::onUpdate(wxCommandEvent&) {
    clickUpdate();
}

void MainWindow::onCancel(wxCommandEvent&) {
    dispatchSignal(sigCancel);
}

void MainWindow::onNext(wxCommandEvent&) {
    nextButton->Disable();
    dispatchSignal(sigArrival, 1);
    nextButton->Enable();
}

void MainWindow::onAbout(wxCommandEvent&) {
    showAbout();
}

} // namespace Kestrel
