#include "app/util/Log.h"

#include "gui/ResourceFsHandler.h"

#include "platform/Resource.h"

#include <wx/filename.h>
#include <wx/mstream.h>

#include <algorithm>

namespace Kestrel {
namespace {

log4cplus::Logger fsLogger() {
    return Log::logger("kestrel.wx.fs.rsrc");
}

} // namespace

ResourceFsHandler::ResourceFsHandler()
    : created(wxDateTime::Now()), baseDirectory(resourcePath()) {}

wxString ResourceFsHandler::resourcePath() {
    const wxString path = wxString::FromUTF8(platform::executableDirectory());
    KESTREL_DEBUG(Log::logger("kestrel.app.main"), "resourcePath: " << path.utf8_string());
    return path;
}

bool ResourceFsHandler::CanOpen(const wxString& location) {
    return GetProtocol(location) == "file";
}

wxFSFile* ResourceFsHandler::OpenFile(wxFileSystem&, const wxString& location) {
    const wxFileName file(GetRightLocation(location));
    const wxArrayString directories = file.GetDirs();
    const wxString directory = directories.empty() ? wxString() : directories.Last();
    const wxString name = directory + "/" + file.GetFullName();
    const auto data = platform::findResource(file.GetExt().utf8_string(), name.utf8_string());
    if (!data || data->empty()) {
        KESTREL_DEBUG(fsLogger(), "No resource for " << location.utf8_string());
        return nullptr;
    }
    KESTREL_DEBUG(fsLogger(),
                  "Opening resource " << name.utf8_string() << " (" << data->size() << " bytes)");
    // The stream reads the linked-in bytes in place.
    auto* stream = new wxMemoryInputStream(data->data(), data->size());
    return new wxFSFile(stream, location, "data/binary", GetAnchor(location), created);
}

wxString ResourceFsHandler::FindFirst(const wxString& spec, int) {
    found.clear();
    cursor = 0;
    const int dot = spec.Find('.', true);
    if (dot == wxNOT_FOUND)
        return wxString();
    std::vector<std::string> names;
    if (!platform::enumerateResourceNames(spec.Mid(dot + 1).utf8_string(), names))
        return wxString();
    const wxString pattern = spec.Upper();
    for (const std::string& name : names) {
        const wxString candidate = wxString::FromUTF8(name);
        if (wxMatchWild(pattern, candidate.Upper(), false))
            found.push_back(candidate);
    }
    if (found.empty())
        return wxString();
    std::sort(found.begin(), found.end());
    return FindNext();
}

wxString ResourceFsHandler::FindNext() {
    if (cursor >= found.size())
        return wxString();
    return found[cursor++];
}

} // namespace Kestrel
