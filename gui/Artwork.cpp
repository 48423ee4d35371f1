#include "gui/Artwork.h"

#include "platform/Resource.h"

#include <wx/image.h>
#include <wx/mstream.h>

namespace Kestrel {
namespace {

constexpr const char* kArtworkName = "../images/Image.png";
constexpr const char* kArtworkResource = "IMAGES/IMAGE.PNG";

wxImage decode(const char* type, const wxString& name, wxBitmapType format) {
    const auto data = platform::findResource(type, name.utf8_string());
    if (!data || data->empty())
        return wxImage();
    wxMemoryInputStream stream(data->data(), data->size());
    wxImage image;
    image.LoadFile(stream, format);
    return image;
}

} // namespace

wxBitmap loadBitmap(const wxString& name) {
    if (name != kArtworkName)
        return wxBitmap();
    const wxImage image = decode("PNG", kArtworkResource, wxBITMAP_TYPE_PNG);
    return image.IsOk() ? wxBitmap(image) : wxBitmap();
}

wxIcon loadIcon(const wxString& name) {
    const wxImage image = decode("PNG", name, wxBITMAP_TYPE_PNG);
    wxIcon icon;
    if (image.IsOk())
        icon.CopyFromBitmap(wxBitmap(image));
    return icon;
}

wxBitmap loadDialogImage(const wxString& name) {
    wxImage image = decode("XPM", name, wxBITMAP_TYPE_XPM);
    if (!image.IsOk())
        return wxBitmap();
    image.SetMaskColour(255, 255, 255);
    return wxBitmap(image);
}

} // namespace Kestrel
