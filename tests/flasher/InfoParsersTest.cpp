#include "flasher/InfoParsers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace flasher;

const std::string kPackageText = "ati\r\nManufacturer: Velmar N.V.\r\nModel: QT0880\r\nRevision: "
                                 "3.19.0 (Date: Mar 16 2010, Time: 15:03:03)\r\n\r\nOK\r\n";

TEST(IdentityParser, PackageExampleGivesEveryField) {
    FfInfoRecord record{};
    std::strcpy(record.lmCode, "stale");
    ASSERT_EQ(parseIdentity(kPackageText.data(), kPackageText.size(), record), kParseOk);
    EXPECT_STREQ(record.description, "Manufacturer: Velmar N.V.\r\nModel: QT0880\r\nRevision: "
                                     "3.19.0 (Date: Mar 16 2010, Time: 15:03:03)");
    EXPECT_STREQ(record.version, "3.19.0");
    EXPECT_STREQ(record.model, "QT0880");
    EXPECT_STREQ(record.lmCode, "");
    EXPECT_EQ(record.second, 3);
    EXPECT_EQ(record.minute, 3);
    EXPECT_EQ(record.hour, 15);
    EXPECT_EQ(record.day, 16);
    EXPECT_EQ(record.month, 3);
    EXPECT_EQ(record.year, 2010);
}

TEST(IdentityParser, TextWithoutManufacturerGives1) {
    FfInfoRecord record{};
    const std::string text = "\r\nOK\r\n";
    EXPECT_EQ(parseIdentity(text.data(), text.size(), record), kParseNotFound);
}

TEST(IdentityParser, TruncatedTextKeepsWhatItHasAndStaysInside) {
    // Cut inside the revision line, without a terminator after the kept bytes.
    const size_t cut = kPackageText.find("(Date") + 4;
    std::string buffer = kPackageText.substr(0, cut) + "Mar 99 2099, Time: 11:11:11)";
    FfInfoRecord record{};
    ASSERT_EQ(parseIdentity(buffer.data(), cut, record), kParseOk);
    EXPECT_STREQ(record.version, "3.19.0");
    EXPECT_STREQ(record.model, "QT0880");
    EXPECT_STREQ(record.description, "") << "no ')' inside the text";
    EXPECT_EQ(record.year, 0);
    EXPECT_EQ(record.hour, 0);
}

TEST(IdentityParser, MissingModelAndRevisionLeaveTheFieldsEmpty) {
    const std::string text = "Manufacturer: Velmar N.V.\r\n\r\nOK\r\n";
    FfInfoRecord record{};
    EXPECT_EQ(parseIdentity(text.data(), text.size(), record), kParseOk);
    EXPECT_STREQ(record.model, "");
    EXPECT_STREQ(record.version, "");
}

TEST(IdentityParser, OversizedFieldsAreCutToTheirRecordFields) {
    const std::string longModel(300, 'M');
    const std::string text = "Manufacturer: " + std::string(400, 'V') + ")\r\nModel: " + longModel +
                             "\r\nRevision: " + std::string(200, 'R') +
                             " (Date: Dec 1 2011, Time: 1:2:3)\r\nOK\r\n";
    FfInfoRecord record{};
    EXPECT_EQ(parseIdentity(text.data(), text.size(), record), kParseOk);
    EXPECT_EQ(std::strlen(record.description), 127u);
    EXPECT_LE(std::strlen(record.model), 64u);
    EXPECT_LE(std::strlen(record.version), 127u);
}

TEST(IdentityParser, UnknownMonthLeavesTheMonthAlone) {
    const std::string text =
        "Manufacturer: V\r\nModel: Q\r\nRevision: 1.0 (Date: Foo 2 2012, Time: 1:2:3)\r\n";
    FfInfoRecord record{};
    record.month = 11;
    EXPECT_EQ(parseIdentity(text.data(), text.size(), record), kParseOk);
    EXPECT_EQ(record.month, 11);
    EXPECT_EQ(record.day, 2);
    EXPECT_EQ(record.year, 2012);
}

TEST(IdentityParser, CutDateAndTimeGiveTheValuesInFrontOfTheCut) {
    FfInfoRecord record{};
    record.year = 1999;
    record.hour = 23;
    const std::string cutDate = "Manufacturer: V\r\nModel: Q\r\nRevision: 1.0 (Date: Mar 16";
    EXPECT_EQ(parseIdentity(cutDate.data(), cutDate.size(), record), kParseOk);
    EXPECT_EQ(record.month, 3);
    EXPECT_EQ(record.day, 16);
    EXPECT_EQ(record.year, 1999);
    EXPECT_EQ(record.hour, 23);

    record.second = 59;
    const std::string cutTime =
        "Manufacturer: V\r\nModel: Q\r\nRevision: 1.0 (Date: Apr 2 2011, Time: 15:03";
    EXPECT_EQ(parseIdentity(cutTime.data(), cutTime.size(), record), kParseOk);
    EXPECT_EQ(record.year, 2011);
    EXPECT_EQ(record.hour, 15);
    EXPECT_EQ(record.minute, 3);
    EXPECT_EQ(record.second, 59);
}

TEST(SoftwareVersionParser, ReadsTheVersionUpToTheLineEnd) {
    const std::string text = "AT_VISOV?\r\r\n_VISOV: 2.1.0 build 7\r\n\r\nOK\r\n";
    FfInfoRecord record{};
    EXPECT_EQ(parseSoftwareVersion(text.data(), text.size(), record), kParseOk);
    EXPECT_STREQ(record.version, "2.1.0 build 7");
    EXPECT_EQ(parseSoftwareVersion("\r\nOK\r\n", 6, record), kParseNotFound);
}

TEST(SoftwareVersionParser, AnswerCutAfterTheTagLeavesTheField) {
    FfInfoRecord record{};
    std::strcpy(record.version, "1.2.3");
    const std::string text = "\r\n_VISOV: ";
    EXPECT_EQ(parseSoftwareVersion(text.data(), text.size(), record), kParseOk);
    EXPECT_STREQ(record.version, "1.2.3");
    std::strcpy(record.lmCode, "QT0880-1");
    const std::string code = "\r\n_VLMC: ";
    EXPECT_EQ(parseLmCode(code.data(), code.size(), record), kParseOk);
    EXPECT_STREQ(record.lmCode, "QT0880-1");
}

TEST(SoftwareVersionParser, OversizedVersionIsCut) {
    const std::string text = "_VISOV: " + std::string(500, '7');
    FfInfoRecord record{};
    EXPECT_EQ(parseSoftwareVersion(text.data(), text.size(), record), kParseOk);
    EXPECT_EQ(std::strlen(record.version), 127u);
}

TEST(LmCodeParser, ReadsTheCodeAfterItsSpace) {
    const std::string text = "\r\n_VLMC: QT0880-27315\r\n\r\nOK\r\n";
    FfInfoRecord record{};
    EXPECT_EQ(parseLmCode(text.data(), text.size(), record), kParseOk);
    EXPECT_STREQ(record.lmCode, "QT0880-27315");
    EXPECT_EQ(parseLmCode("_VLMC:X", 7, record), kParseNotFound) << "the space belongs to the tag";
    const std::string longCode = "_VLMC: " + std::string(100, 'L');
    EXPECT_EQ(parseLmCode(longCode.data(), longCode.size(), record), kParseOk);
    EXPECT_EQ(std::strlen(record.lmCode), 31u);
}

TEST(LmCodeParser, TagCutByTheBufferEndIsNotFound) {
    const std::string text = "\r\n_VLMC: QT0880";
    FfInfoRecord record{};
    EXPECT_EQ(parseLmCode(text.data(), 6, record), kParseNotFound);
}

} // namespace
