# Writes OUTPUT, a C++ source whose detection::shippedCardDatabase() returns the bytes of INPUT.
file(READ ${INPUT} content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
string(REGEX REPLACE "((('\\\\x[0-9a-f][0-9a-f]',)){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
"// Generated from ${INPUT}; do not edit.
#include \"detection/CardDatabase.h\"

namespace detection {
namespace {
const char kText[] = {
    ${bytes}'\\0'};
} // namespace

std::string_view shippedCardDatabase() { return std::string_view(kText, ${size}); }

} // namespace detection
")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
