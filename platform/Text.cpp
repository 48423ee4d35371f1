#include "platform/Text.h"

namespace platform {
namespace {

char foldedCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (foldedCase(a[i]) != foldedCase(b[i]))
            return false;
    return true;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           equalIgnoringCase(text.substr(text.size() - suffix.size()), suffix);
}

} // namespace platform
