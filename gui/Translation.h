#pragma once

#include <wx/string.h>

namespace Kestrel {

// The shown text of an English message identifier (Kestrel::translate of app/ErrorCodes.h) as
// the framework's string.
wxString guiText(const char* english);

// Makes Kestrel::translate look identifiers up in the framework's message catalogs.
void installCatalogLookup();

} // namespace Kestrel
