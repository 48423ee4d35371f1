#pragma once

#include <string_view>

// Comparisons of the names Kestrel meets (device and interface ids, class GUIDs, registry keys,
// resource names, file suffixes, script words). They are ASCII, and their case carries no
// meaning; only ASCII letters are folded, so the locale never changes a result.
namespace platform {

bool equalIgnoringCase(std::string_view a, std::string_view b);

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix);

} // namespace platform
