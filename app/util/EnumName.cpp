#include "app/util/EnumName.h"

#include <cstring>

namespace Kestrel {

std::string enumName(int firstValue, int value, const char* names) {
    if (names != nullptr && value >= firstValue) {
        long position = static_cast<long>(value) - firstValue;
        const char* name = names;
        while (*name != '\0') {
            const char* end = std::strchr(name, ',');
            if (end == nullptr)
                break;
            if (position == 0)
                return std::string(name, end);
            --position;
            name = end + 1;
        }
    }
    return "unknownEnumValue(" + std::to_string(value) + ")";
}

} // namespace Kestrel
