#pragma once

#include <wx/string.h>

#include <string>

namespace Kestrel {

// The shown text of an English message identifier, from the message catalog; the identifier
// itself when the catalog has no entry or no catalog is loaded.
wxString translate(const char* english);
std::wstring translateWide(const std::wstring& english);

} // namespace Kestrel
