#include "GuiTestSupport.h"

#include "app/gui/Language.h"
#include "app/gui/ResourceFsHandler.h"
#include "app/gui/Translation.h"
#include "platform/Resource.h"
#include "tests/app/LogCapture.h"

#include <gtest/gtest.h>
#include <wx/filesys.h>
#include <wx/translation.h>

#include <fstream>
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
