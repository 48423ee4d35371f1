#include "detection/WideText.h"

#include <algorithm>

namespace detection {

std::u16string textOf(const char16_t* field, size_t capacity) {
    const char16_t* end = std::find(field, field + capacity, u'\0');
    return std::u16string(field, end);
}

void copyText(char16_t* field, size_t capacity, const std::u16string& text) {
    if (capacity == 0)
        return;
    const size_t length = std::min(text.size(), capacity - 1);
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length), field);
    std::fill(field + length, field + capacity, u'\0');
}

} // namespace detection
