#include "app/gui/Translation.h"

#include <wx/translation.h>

namespace Kestrel {

wxString translate(const char* english) {
    return wxGetTranslation(wxString::FromUTF8(english));
}

std::wstring translateWide(const std::wstring& english) {
    return wxGetTranslation(wxString(english)).ToStdWstring();
}

} // namespace Kestrel
