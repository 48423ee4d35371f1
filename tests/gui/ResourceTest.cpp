#include "GuiTestSupport.h"

#include "gui/Artwork.h"
#include "gui/Language.h"
#include "gui/ResourceFsHandler.h"
#include "gui/Translation.h"
#include "platform/Resource.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>
#include <wx/filesys.h>
#include <wx/image.h>
#include <wx/translation.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

namespace {

std::string fileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

std::string streamBytes(wxFSFile& file) {
    wxInputStream* stream = file.GetStream();
    std::string bytes;
    char buffer[4096];
    while (!stream->Eof()) {
        stream->Read(buffer, sizeof buffer);
        bytes.append(buffer, stream->LastRead());
        if (stream->LastRead() == 0)
            break;
    }
    return bytes;
}

TEST(Resources, EmbeddedFilesAreFoundByTypeAndNameOrIdWithTheirExactBytes) {
    const auto database = platform::findResource("NW_DATA", 101);
    ASSERT_TRUE(database);
    EXPECT_EQ(std::string(*database),
              fileBytes(std::string(KESTREL_SOURCE_DIR) + "/resources/CardDatabase.txt"));

    const auto package = platform::findResource(platform::kResourceTypeData, 101);
    ASSERT_TRUE(package);
    EXPECT_EQ(std::string(*package), fileBytes(KESTREL_PACKAGE_FILE));
    EXPECT_GT(package->size(), 1000000u);

    const auto catalog = platform::findResource("mo", "en/app.mo");
    ASSERT_TRUE(catalog);
    // A gettext catalog starts with its magic number.
    ASSERT_GE(catalog->size(), 4u);
    EXPECT_EQ(static_cast<unsigned char>((*catalog)[0]), 0xDE);
    EXPECT_EQ(static_cast<unsigned char>((*catalog)[3]), 0x95);
}

TEST(Resources, UnknownNamesAndTypesAreNotFound) {
    EXPECT_FALSE(platform::findResource("NW_DATA", 102));
    EXPECT_FALSE(platform::findResource("MO", "DE/APP.MO"));
    EXPECT_FALSE(platform::findResource("NOPE", "#101"));
    std::vector<std::string> names{"stale"};
    EXPECT_FALSE(platform::enumerateResourceNames("NOPE", names));
    EXPECT_TRUE(names.empty());
}

TEST(Resources, NamesOfATypeAreEnumeratedAndAnEmptyFileIsAnEmptyResource) {
    std::vector<std::string> names;
    ASSERT_TRUE(platform::enumerateResourceNames("MO", names));
    EXPECT_EQ(names, std::vector<std::string>{"EN/APP.MO"});
    ASSERT_TRUE(platform::enumerateResourceNames("xpm", names));
    EXPECT_EQ(names, (std::vector<std::string>{"SUCCESS", "ERROR"}));
    const auto empty = platform::findResource("BIN", "TEST/EMPTY.BIN");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), 0u);
}

TEST(Resources, ExecutableDirectoryHoldsTheRunningProgram) {
    const std::string directory = platform::executableDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.back(), '/');
    EXPECT_EQ(platform::executablePath().rfind(directory, 0), 0u);
    EXPECT_EQ(platform::executablePath().substr(directory.size()), "gui_tests");
}

TEST(Artwork, TheStripAndTheDialogImagesAreDecodedFromTheExecutable) {
    const wxBitmap strip = Kestrel::loadBitmap("../images/Image.png");
    ASSERT_TRUE(strip.IsOk());
    EXPECT_EQ(strip.GetSize(), wxSize(134, 327));
    EXPECT_FALSE(Kestrel::loadBitmap("images/Image.png").IsOk()) << "only the one name is known";
    EXPECT_TRUE(Kestrel::loadIcon("APP_ICON").IsOk());

    const wxBitmap success = Kestrel::loadDialogImage("SUCCESS");
    const wxBitmap error = Kestrel::loadDialogImage("ERROR");
    ASSERT_TRUE(success.IsOk());
    ASSERT_TRUE(error.IsOk());
    EXPECT_EQ(success.GetSize(), wxSize(32, 32));
    EXPECT_EQ(error.GetSize(), wxSize(34, 32));
    // The white background is the transparent colour; the symbol in the middle is not.
    for (const wxBitmap* bitmap : {&success, &error}) {
        const wxImage image = bitmap->ConvertToImage();
        EXPECT_TRUE(image.IsTransparent(0, 0));
        EXPECT_FALSE(image.IsTransparent(image.GetWidth() / 2, 4));
    }
}

TEST(ResourceFileSystem, SearchForCatalogsListsTheEnglishOneOnce) {
    Kestrel::ResourceFsHandler handler;
    EXPECT_EQ(handler.FindFirst("*/app.mo"), "EN/APP.MO");
    EXPECT_EQ(handler.FindNext(), "");
    EXPECT_EQ(handler.FindFirst("no-extension"), "");
    EXPECT_EQ(handler.FindFirst("*/app.unknowntype"), "");
    EXPECT_EQ(handler.FindFirst("DE/*.mo"), "");
}

TEST(ResourceFileSystem, AnyPathEndingInEnAppMoOpensTheCatalogAsIndependentStreams) {
    Kestrel::ResourceFsHandler handler;
    wxFileSystem fileSystem;
    EXPECT_TRUE(handler.CanOpen("/some/where/en/app.mo"));
    EXPECT_TRUE(handler.CanOpen("file:/x/y.mo"));
    EXPECT_FALSE(handler.CanOpen("http://example.invalid/en/app.mo"));

    std::unique_ptr<wxFSFile> first(handler.OpenFile(fileSystem, "/no/such/dir/en/app.mo"));
    std::unique_ptr<wxFSFile> second(handler.OpenFile(fileSystem, "EN/APP.MO"));
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(first->GetMimeType(), "data/binary");
    const auto catalog = platform::findResource("MO", "EN/APP.MO");
    char head[16];
    first->GetStream()->Read(head, sizeof head);
    EXPECT_EQ(streamBytes(*second), std::string(*catalog));
    EXPECT_EQ(std::string(head, sizeof head) + streamBytes(*first), std::string(*catalog));
}

TEST(ResourceFileSystem, EmptyAndMissingResourcesDoNotOpen) {
    Kestrel::ResourceFsHandler handler;
    wxFileSystem fileSystem;
    EXPECT_EQ(handler.OpenFile(fileSystem, "/a/test/empty.bin"), nullptr);
    EXPECT_EQ(handler.OpenFile(fileSystem, "/a/de/app.mo"), nullptr);
    EXPECT_EQ(handler.OpenFile(fileSystem, "/a/en/app.txt"), nullptr);
}

TEST(Languages, TheEmbeddedEnglishCatalogIsTheOnlyLanguage) {
    LogCapture log("kestrel.app.main");
    const auto languages = Kestrel::availableLanguages();
    ASSERT_EQ(languages.size(), 1u);
    EXPECT_EQ(languages[0]->CanonicalName.BeforeFirst('_'), "en");
    EXPECT_TRUE(log.contains("Languages: #1(" + languages[0]->CanonicalName.utf8_string() + ")"));
}

TEST(Languages, GermanFallsBackToEnglishWithTypographicTexts) {
    LogCapture log("kestrel.app.main");
    wxLocale locale;
    Kestrel::setupLanguage(locale, "de");
    EXPECT_TRUE(log.contains("Setting user language to de"));
    EXPECT_TRUE(log.contains("Message catalog for user language not found"));
    EXPECT_TRUE(log.contains("Adding message catalogs"));
    EXPECT_FALSE(log.contains("Application catalog not found"));
    EXPECT_EQ(Kestrel::guiText("To continue, click \"Next\"."),
              wxString::FromUTF8("To continue, click \u201CNext\u201D."));
    EXPECT_EQ(Kestrel::guiText("Checking for SIM..."),
              wxString::FromUTF8("Checking for SIM\u2026"));
    EXPECT_EQ(Kestrel::guiText("No such message"), "No such message");
}

// Every text the user can see, as the program asks the catalog for it.
const char* const kUserTexts[] = {
    // Command line and start-up
    "run in unattended mode. No user interaction is required",
    "suppress display of graphical user interface. This implies the unattended option",
    "turn on logging",
    "absolute path to a file receiving an update's error code",
    "ISO language code (UI language)",
    "Error creating exit code file '%s'.",
    "This application must be run with administrator privileges",
    // Main window
    "Welcome",
    "Welcome to \"%s\".",
    "This application allows you to update your devices.",
    "Please ensure that the device is inserted and configured properly, all other applications "
    "are closed and the PC is using the mains.",
    "To continue, insert your device.",
    "To continue, click \"Next\".",
    "Generate log file",
    "Next",
    "Close",
    "Cancel",
    "Update",
    "Type",
    "On Device",
    "Available",
    "Firmware",
    "Software",
    "Cautions",
    "*",
    "The firmware to be installed is older than the one currently installed.",
    "The firmware to be installed is the same as the installed version.",
    "Your device is in a recovery state. Click Update to restore the firmware and bring back "
    "your device to normal state.",
    "Your computer is running on batteries. It is recommended to connect it to the mains before "
    "updating your device's firmware.",
    "About...",
    "Copyright \u00A9 2026 Velmar nv. Released under the MIT License.",
    // Progress dialog
    "Initialising",
    "Please do not interrupt the update by removing your device or turning off your computer.",
    "Preparing update",
    "Updating device",
    "Finalising update",
    "Getting device information",
    "Software installation",
    "--",
    "Sending preloader",
    "Starting preloader",
    "Checking boot block",
    "Sending boot code",
    "Sending firmware",
    "Completing update",
    "Resetting device",
    "Checking for SIM...",
    "Reading firmware version...",
    "Activate Instavol volume...",
    "Launch installer...",
    "Install host software...",
    "Unknown notification (code %d)",
    // Result dialog
    "OK",
    "Your device is not supported by this application.",
    "There was an unrecoverable error during application start-up.",
    "There is no firmware available for the currently inserted device.",
    "The currently inserted device can not be updated.",
    "There was an unrecoverable problem when checking the firmware package.",
    "Update completed!",
    "There was an error preventing software installation to take place.",
    "The updating process was terminated without being complete.",
    "There was an error while updating your device. The update of the device is incomplete.",
    "The device can not be updated. Please contact your vendor's support to get a suitable "
    "version. The application will quit.",
    "An error was encountered that can not be resolved (error code %X). The application will "
    "quit.",
    "The device is not supported by this application. Please contact your vendor's support "
    "(error code %X).",
    "The firmware of the device can not be updated by this application. Please contact your "
    "vendor's support (error code %X).",
    "Eject the device and try again. If the problem persists, contact your vendor's support "
    "(error code %X).",
    "The firmware package seems to be broken and can not be used to update the device (error "
    "code %X). The application will quit.",
    "Please repeat the update in order to finalise this process.",
    "The device was ejected while the update was in progress. The device may be unusable. Try "
    "again to update the device.",
    "An error (code %X) prevented the update to complete. The device may be unusable. Try again "
    "to update the device. If the problem persists, contact your supplier's support.",
    "The update was completed successfully.",
    "To complete the update, the device needs to be removed from the computer.",
    "After installing software, remove the device from your computer to complete the update.",
    "The software on your computer was not updated (error code %X).",
    "The firmware was changed from version %s to version %s.",
};

TEST(Languages, TheCatalogHoldsEveryUserTextAndNothingElse) {
    wxLocale locale;
    Kestrel::setupLanguage(locale, "en");
    const wxTranslations* translations = wxTranslations::Get();
    ASSERT_NE(translations, nullptr);
    for (const char* text : kUserTexts)
        EXPECT_NE(translations->GetTranslatedString(wxString::FromUTF8(text), "app"), nullptr)
            << text;
    // A gettext catalog's third word is its number of strings, the header entry included.
    const auto catalog = platform::findResource("MO", "EN/APP.MO");
    ASSERT_TRUE(catalog);
    ASSERT_GE(catalog->size(), 12u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(catalog->data());
    const uint32_t count = bytes[8] | bytes[9] << 8 | bytes[10] << 16 | uint32_t(bytes[11]) << 24;
    EXPECT_EQ(count, std::size(kUserTexts) + 1);
}

TEST(Languages, AnUnknownLanguageCodeKeepsTheSystemLanguage) {
    LogCapture log("kestrel.app.main");
    wxLocale locale;
    Kestrel::setupLanguage(locale, "xx-not-a-language");
    EXPECT_FALSE(log.contains("Setting user language to xx-not-a-language"));
    EXPECT_TRUE(log.contains("Adding message catalogs"));
    EXPECT_EQ(Kestrel::guiText("Welcome to \"%s\"."),
              wxString::FromUTF8("Welcome to \u201C%s\u201D."));
}

} // namespace
