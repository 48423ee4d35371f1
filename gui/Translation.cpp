#include "gui/Translation.h"

#include "app/ErrorCodes.h"

#include <wx/translation.h>

namespace Kestrel {
namespace {

std::wstring catalogLookup(const char* message) {
    return wxGetTranslation(wxString::FromUTF8(message)).ToStdWstring();
}

} // namespace

wxString guiText(const char* english) {
    return wxString(translate(english));
}

void installCatalogLookup() {
    setTranslationLookup(&catalogLookup);
}

} // namespace Kestrel
