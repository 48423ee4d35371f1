#pragma once

// The loader's options of kestrel-cardsim.

#include "sim/Loader.h"

#include <cstdio>
#include <string>

namespace cardsim {

// Takes `option` (with `value`, the argument after it, or nullptr) into `options`. Returns how
// many arguments it used (1 or 2), 0 when the option is not the loader's, -1 with `problem`
// set when its value is missing or wrong.
int parseLoaderOption(const std::string& option, const char* value, LoaderOptions& options,
                      std::string& problem);

void printLoaderUsage(std::FILE* out);

// Reads an option's value as a decimal number: digits only, so a sign, a blank or a number past
// the type's range is refused rather than wrapped.
bool optionNumber(const char* text, unsigned long long& value);

} // namespace cardsim
