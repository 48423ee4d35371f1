#pragma once

#include <wx/datetime.h>
#include <wx/filesys.h>

#include <string>
#include <vector>

namespace Kestrel {

// Serves the resources linked into the executable as files: "DIR/NAME.EXT" opens the resource
// of type "EXT" named "DIR/NAME.EXT" (case is ignored), whatever lies before DIR. Searches
// list the names of a type that match a wildcard pattern, so "*/app.mo" finds the catalogs.
class ResourceFsHandler : public wxFileSystemHandler {
public:
    ResourceFsHandler();

    bool CanOpen(const wxString& location) override;
    wxFSFile* OpenFile(wxFileSystem& fs, const wxString& location) override;
    wxString FindFirst(const wxString& spec, int flags = 0) override;
    wxString FindNext() override;

    // The directory that holds the executable, with a trailing separator.
    static wxString resourcePath();

private:
    wxDateTime created;
    wxString baseDirectory;
    std::vector<wxString> found;
    size_t cursor = 0;
};

} // namespace Kestrel
