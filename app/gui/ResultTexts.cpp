#include "app/gui/ResultTexts.h"

// The texts and classes themselves belong to the error-code component of app/; until it is
// linked in, the dialog shows no texts and never offers a retry.
namespace Kestrel {

std::wstring resultDescription(int, int32_t) {
    return std::wstring();
}

std::wstring resultHint(int, int32_t, const std::string&, const std::string&, const std::string&,
                        const std::string&) {
    return std::wstring();
}

int resultCloseClass(int32_t, int) {
    return 0;
}

} // namespace Kestrel
