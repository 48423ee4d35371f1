#include "app/util/Log.h"

#include "gui/Language.h"

#include "gui/ResourceFsHandler.h"

#include <wx/filename.h>
#include <wx/filesys.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <memory>

namespace Kestrel {
namespace {

constexpr const char* kCatalogDomain = "app";
constexpr const char* kCatalogSearch = "*/app.mo";

log4cplus::Logger mainLogger() {
    return Log::logger("kestrel.app.main");
}

// Loads catalogs through the framework's virtual file system, where the resource file system
// handler serves the embedded ones: PREFIX LANG/DOMAIN.mo.
class ResourceTranslationsLoader : public wxTranslationsLoader {
public:
    explicit ResourceTranslationsLoader(const wxString& prefix) : prefix(prefix) {}

    wxMsgCatalog* LoadCatalog(const wxString& domain, const wxString& lang) override {
        wxFileSystem fileSystem;
        const wxString location = prefix + lang + "/" + domain + ".mo";
        std::unique_ptr<wxFSFile> file(fileSystem.OpenFile(location, wxFS_READ));
        if (!file)
            return nullptr;
        wxInputStream* stream = file->GetStream();
        const size_t size = stream->GetLength() > 0 ? static_cast<size_t>(stream->GetLength()) : 0;
        wxMemoryBuffer bytes(size);
        stream->Read(bytes.GetWriteBuf(size), size);
        if (stream->LastRead() != size)
            return nullptr;
        bytes.UngetWriteBuf(size);
        return wxMsgCatalog::CreateFromData(
            wxScopedCharBuffer::CreateNonOwned(static_cast<const char*>(bytes.GetData()), size),
            domain);
    }

    wxArrayString GetAvailableTranslations(const wxString&) const override {
        wxArrayString names;
        for (const wxLanguageInfo* language : availableLanguages())
            names.push_back(language->CanonicalName);
        return names;
    }

private:
    wxString prefix;
};

bool supports(const std::vector<const wxLanguageInfo*>& languages, const wxLanguageInfo* lang) {
    for (const wxLanguageInfo* available : languages) {
        if (available->Language == lang->Language)
            return true;
    }
    const wxString base = lang->CanonicalName.BeforeFirst('_');
    for (const wxLanguageInfo* available : languages) {
        if (available->CanonicalName.StartsWith(base))
            return true;
    }
    return false;
}

} // namespace

std::vector<const wxLanguageInfo*> availableLanguages() {
    std::vector<const wxLanguageInfo*> languages;
    wxFileSystem fileSystem;
    for (wxString name = fileSystem.FindFirst(kCatalogSearch, wxFILE); !name.empty();
         name = fileSystem.FindNext()) {
        const wxString directory = name.BeforeLast('/').AfterLast('/');
        if (const wxLanguageInfo* language = wxLocale::FindLanguageInfo(directory))
            languages.push_back(language);
    }
    std::string names;
    for (const wxLanguageInfo* language : languages)
        names += (names.empty() ? "" : ", ") + language->CanonicalName.utf8_string();
    KESTREL_DEBUG(mainLogger(), "Languages: #" << languages.size() << "(" << names << ")");
    return languages;
}

void setupLanguage(wxLocale& locale, const wxString& uiLanguage) {
    const std::vector<const wxLanguageInfo*> languages = availableLanguages();
    const wxLanguageInfo* lang = wxLocale::GetLanguageInfo(wxLocale::GetSystemLanguage());
    if (!uiLanguage.empty()) {
        if (const wxLanguageInfo* chosen = wxLocale::FindLanguageInfo(uiLanguage)) {
            KESTREL_DEBUG(mainLogger(), "Setting user language to " << uiLanguage.utf8_string());
            lang = chosen;
        }
    } else if (lang != nullptr) {
        KESTREL_DEBUG(mainLogger(), "User language is " << lang->CanonicalName.utf8_string());
    } else {
        KESTREL_DEBUG(mainLogger(), "Unknown user language");
    }

    if (lang == nullptr || !supports(languages, lang)) {
        KESTREL_DEBUG(mainLogger(), "Message catalog for user language not found");
        lang = wxLocale::GetLanguageInfo(wxLANGUAGE_ENGLISH);
        if (lang == nullptr || !supports(languages, lang)) {
            KESTREL_ERROR(mainLogger(), "Message catalog for English not found");
            return;
        }
    }

    KESTREL_DEBUG(mainLogger(), "Adding message catalogs");
    const wxString prefix = ResourceFsHandler::resourcePath();
    wxFileTranslationsLoader::AddCatalogLookupPathPrefix(prefix);
    bool initialised;
    {
        // The framework reports a locale the C library lacks in a message box; we log it.
        wxLogNull quiet;
        initialised = locale.Init(lang->Language, wxLOCALE_LOAD_DEFAULT);
    }
    if (!initialised)
        KESTREL_ERROR(mainLogger(), "Language not supported by system");
    wxTranslations* translations = wxTranslations::Get();
    if (translations == nullptr) {
        translations = new wxTranslations;
        wxTranslations::Set(translations);
        translations->SetLanguage(static_cast<wxLanguage>(lang->Language));
    }
    translations->SetLoader(new ResourceTranslationsLoader(prefix));
    bool loaded;
    {
        wxLogNull quiet;
        loaded = translations->AddCatalog(kCatalogDomain, wxLANGUAGE_ENGLISH);
    }
    if (!loaded || !translations->IsLoaded(kCatalogDomain))
        KESTREL_DEBUG(mainLogger(), "Application catalog not found");
}

} // namespace Kestrel
