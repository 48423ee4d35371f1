#include "platform/Text.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

TEST(EqualIgnoringCase, FoldsAsciiLettersOnly) {
    EXPECT_TRUE(platform::equalIgnoringCase("USB\\VID_1234&PID_0001", "usb\\vid_1234&pid_0001"));
    EXPECT_TRUE(platform::equalIgnoringCase("{4D36E96D-E325}", "{4d36e96d-e325}"));
    EXPECT_TRUE(platform::equalIgnoringCase("", ""));
    EXPECT_FALSE(platform::equalIgnoringCase("modem", "modems"));
    EXPECT_FALSE(platform::equalIgnoringCase("modem", "loader"));
    // '[' and '{' are next to 'Z' and 'z' but are not letters.
    EXPECT_FALSE(platform::equalIgnoringCase("[", "{"));
    EXPECT_FALSE(platform::equalIgnoringCase("@", "`"));
}

TEST(EqualIgnoringCase, LeavesOtherBytesAloneWhateverTheLocale) {
    std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_FALSE(platform::equalIgnoringCase("\xC3\x84", "\xC3\xA4")) << "UTF-8 A/a umlaut";
    EXPECT_FALSE(platform::equalIgnoringCase("\xC4", "\xE4")) << "Latin-1 A/a umlaut";
    EXPECT_TRUE(platform::equalIgnoringCase("\xC4x", "\xC4X"));
    std::setlocale(LC_ALL, "C");
}

TEST(EndsWithIgnoringCase, ComparesTheTailOnly) {
    EXPECT_TRUE(platform::endsWithIgnoringCase("firmware.PCK", ".pck"));
    EXPECT_TRUE(platform::endsWithIgnoringCase(".pck", ".pck"));
    EXPECT_TRUE(platform::endsWithIgnoringCase("anything", ""));
    EXPECT_FALSE(platform::endsWithIgnoringCase("pck", ".pck"));
    EXPECT_FALSE(platform::endsWithIgnoringCase("firmware.pck.txt", ".pck"));
}

} // namespace
