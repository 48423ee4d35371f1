#pragma once

#include <string>

namespace Kestrel {

// The name of `value` in a list of names each ended by "," whose first name stands for
// `firstValue`; "unknownEnumValue(N)" when the value lies outside the list.
std::string enumName(int firstValue, int value, const char* names);

} // namespace Kestrel
