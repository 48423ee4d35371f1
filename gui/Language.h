#pragma once

#include <wx/intl.h>

#include <vector>

namespace Kestrel {

// The languages for which a message catalog is embedded, as the framework describes them.
std::vector<const wxLanguageInfo*> availableLanguages();

// Decides the user-interface language (`uiLanguage` if it names a known language, else the
// system's; English when no catalog serves it), initialises `locale` with it and loads the
// catalog "app" from the embedded resources. Every failure is logged and tolerated.
void setupLanguage(wxLocale& locale, const wxString& uiLanguage);

} // namespace Kestrel
