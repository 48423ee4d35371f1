#pragma once

#include <wx/bitmap.h>
#include <wx/icon.h>
#include <wx/string.h>

namespace Kestrel {

// The artwork linked into the executable, decoded from memory.

// The artwork strip; only the name "../images/Image.png" is known, any other gives an empty
// bitmap.
wxBitmap loadBitmap(const wxString& name);

// An icon resource such as "APP_ICON"; an empty icon when there is none.
wxIcon loadIcon(const wxString& name);

// The result dialog's images ("SUCCESS", "ERROR"), white made transparent.
wxBitmap loadDialogImage(const wxString& name);

} // namespace Kestrel
