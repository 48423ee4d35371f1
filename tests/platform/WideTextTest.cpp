#include "platform/WideText.h"

#include <gtest/gtest.h>

namespace {

using platform::utf16FromUtf8;
using platform::utf8FromUtf16;
using platform::utf8FromWide;
using platform::wideFromUtf8;

// "Ä€😀": two, three and four UTF-8 bytes.
const std::string kMixed = "A\xC3\x84\xE2\x82\xAC\xF0\x9F\x98\x80";

TEST(WideText, CodePointOutsideTheBasicPlaneBecomesASurrogatePairInUtf16) {
    EXPECT_EQ(utf16FromUtf8(kMixed), std::u16string(u"A\u00C4\u20AC\xD83D\xDE00"));
}

TEST(WideText, Utf8SurvivesTheWayThroughUtf16AndWideText) {
    EXPECT_EQ(utf8FromUtf16(utf16FromUtf8(kMixed)), kMixed);
    EXPECT_EQ(utf8FromWide(wideFromUtf8(kMixed)), kMixed);
}

TEST(WideText, WideTextHoldsTheCodePointsAsTheSystemsWideCallsTakeThem) {
    EXPECT_EQ(wideFromUtf8(kMixed), std::wstring(L"A\u00C4\u20AC\U0001F600"));
}

TEST(WideText, MalformedUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(utf16FromUtf8("a\xFF"
                            "b\xE2\x82"),
              std::u16string(u"a\uFFFDb\uFFFD\uFFFD"));
}

TEST(WideText, LoneSurrogateBecomesAReplacementCharacter) {
    EXPECT_EQ(utf8FromUtf16(std::u16string(1, u'\xD800') + u"x"), "\xEF\xBF\xBDx");
}

} // namespace
