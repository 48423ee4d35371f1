#include "tests/support/DetectionTestSupport.h"

#include "detection/CardDatabase.h"

#include <gtest/gtest.h>

namespace {

using namespace detectiontest;
using detection::CardCount;
using detection::CardRecord;

class CardDatabase : public DetectionTest {};

std::string name(int index) {
    return detection::utf8FromUtf16(CardRecord(index).name);
}

TEST_F(CardDatabase, ShippedDatabaseLoadsEveryAdSectionOnWindows7) {
    loadShipped();
    ASSERT_EQ(CardCount(), 11) << log.dump();
    EXPECT_TRUE(log.has("Nw: Successfully loaded information for 11 cards"));
    EXPECT_EQ(name(1), "Velmar QT0880 HSPA+ USB Modem");
    const auto& qt = CardRecord(1);
    EXPECT_EQ(qt.model, 0x1C00u);
    EXPECT_EQ(qt.busType, int32_t(detection::kBusUsb));
    EXPECT_EQ(qt.hardwareIds, u"USB\\VID_1234&PID_5678");
    // 0x3F has bits of 0x6 and is at least 0x8: flag 0x40 joins the database's 0x487.
    EXPECT_EQ(qt.driverCap, 0x4C7u);
    EXPECT_EQ(*qt.wwanNdisPortName, u"\\\\.\\LMNDIS%d");
    EXPECT_EQ(name(2), "Velmar QT0880 HSPA+ USB Modem (D055)");
    EXPECT_EQ(CardRecord(2).hardwareIds, u"USB\\VID_1234&PID_D055");
    // USB first, then PC cards, then modules, the generic entry last.
    EXPECT_EQ(CardRecord(8).busType, int32_t(detection::kBusPcmcia));
    EXPECT_EQ(CardRecord(9).busType, int32_t(detection::kBusPci));
    EXPECT_EQ(CardRecord(10).model, detection::kCardModelGenericMb);
    EXPECT_EQ(CardRecord(10).supported, 0);
    // The generic entry is not supported, so there is none to use.
    EXPECT_EQ(detection::GetGenericEntryIndex(), -1);
    // The family 1 and 2 cards that multiplex wake up slowly.
    EXPECT_EQ(CardRecord(8).slowWakeup, 1);
    EXPECT_EQ(CardRecord(1).slowWakeup, 0);
}

TEST_F(CardDatabase, ShippedDatabaseOnWindows98HasOnlyTheGaSection) {
    poseAs(detection::kOsType98);
    loadShipped();
    ASSERT_EQ(CardCount(), 1);
    EXPECT_EQ(name(0), "Velmar GT100 GPRS USB Modem");
    EXPECT_FALSE(log.mentions("invalid card information record"));
}

TEST_F(CardDatabase, OsTypeFollowsThePlatformAndVersion) {
    struct Case {
        platform::OsVersion version;
        uint32_t osType;
    };
    const Case cases[] = {
        {{platform::kPlatformNt, 3, 51, 0}, 1},
        {{platform::kPlatformNt, 4, 0, 0}, 1},
        {{platform::kPlatformWindows9x, 4, 10, 0}, 2},
        {{platform::kPlatformWindows9x, 4, 90, 0}, 3},
        {{platform::kPlatformWindows9x, 5, 0, 0}, 3},
        {{platform::kPlatformNt, 5, 0, 0}, 4},
        {{platform::kPlatformNt, 5, 1, 0}, 5},
        {{platform::kPlatformNt, 5, 2, 0}, 5},
        {{platform::kPlatformNt, 6, 0, 0}, 6},
        {{platform::kPlatformNt, 6, 1, 0}, 7},
        {{platform::kPlatformNt, 10, 0, 0}, 7},
        {{platform::kPlatformWindows9x, 4, 0, 0}, 99},
        {{platform::kPlatformNt, 5, 3, 0}, 99},
        {{3, 6, 1, 0}, 99},
    };
    for (const auto& c : cases) {
        platform::overrideOsVersion(c.version);
        EXPECT_EQ(detection::DetermineOsType(), c.osType)
            << c.version.platformId << " " << c.version.major << "." << c.version.minor;
    }
    platform::overrideOsVersion(std::nullopt);
    EXPECT_EQ(detection::DetermineOsType(), 7u) << "Linux poses as NT 6.1";
}

TEST_F(CardDatabase, FailingVersionQueryIsSuspiciousAndStopsTheLoad) {
    NwSetLogLevel(3);
    platform::overrideOsVersionFailure(5);
    const std::string text = database(section("A", "0x100", "USB", "USB\\X", "0x0"));
    EXPECT_EQ(detection::ReadCardDb(text.data(), text.size()), detection::kErrorFail);
    platform::overrideOsVersionFailure(0);
    // Emitted whatever the level.
    EXPECT_TRUE(log.has("GetVersionInfo, GetVersionEx: 0x5. Very suspicious.")) << log.dump();
    EXPECT_TRUE(log.has("Nw: ReadCardDb(): Could not determine OS type (?)"));
    EXPECT_EQ(CardCount(), 0);
}

TEST_F(CardDatabase, FirstMatchingLineOfAKeyWinsAcrossPrefixes) {
    poseAs(detection::kOsTypeXp);
    load(concat(
        {section("A", "0x100", "USB", "USB\\A", "0x80",
                 {"AdModemName=First", "XpModemName=Second", "Family=9"}),
         section("B", "0x200", "USB", "USB\\B", "0x80", {"XpModemName=PerOs", "AdModemName=Group"}),
         section("C", "0x300", "USB", "USB\\C", "0x80",
                 {"2kModemName=Win2000", "GaModemName=Win98"})}));
    ASSERT_EQ(CardCount(), 3);
    EXPECT_EQ(*CardRecord(0).modemNames, u"First");
    EXPECT_EQ(CardRecord(0).family, 0) << "a repeated Family line is ignored";
    EXPECT_EQ(*CardRecord(1).modemNames, u"PerOs");
    EXPECT_FALSE(CardRecord(2).modemNames) << "2k and Ga keys do not apply on XP";

    poseAs(detection::kOsType2000);
    load(section("C", "0x300", "USB", "USB\\C", "0x80",
                 {"XpModemName=WinXp", "2kModemName=Win2000"}));
    ASSERT_EQ(CardCount(), 1);
    EXPECT_EQ(*CardRecord(0).modemNames, u"Win2000");
}

TEST_F(CardDatabase, KeysOfOtherSystemsLeaveTheSectionWithoutMandatoryKeys) {
    load({"[Old card]", "Supported=1", "Model=0x100", "Family=0", "StackType=0", "BusType=USB",
          "HardwareId=USB\\OLD", "GaPortType=0", "GaDriverCap=0x80", "GaWwanCap=0x3",
          "GaWlanCap=0x0"});
    EXPECT_EQ(CardCount(), 0);
    EXPECT_FALSE(log.mentions("invalid card information record"));
    EXPECT_TRUE(log.has("Nw: Successfully loaded information for 0 cards"));
}

TEST_F(CardDatabase, InvalidNumberSkipsTheSectionWithItsName) {
    load(concat({section("Bad", "zz", "USB", "USB\\BAD", "0x0"),
                 section("Bad family", "0x100", "USB", "USB\\BAD", "0x0", {}, "x3"),
                 section("Good", "0x100", "USB", "USB\\GOOD", "0x0")}));
    ASSERT_EQ(CardCount(), 1);
    EXPECT_EQ(name(0), "Good");
    EXPECT_TRUE(
        log.has("Nw: ExtractCardInfo(): invalid card information record, skipping card [Bad]"));
    EXPECT_TRUE(log.has(
        "Nw: ExtractCardInfo(): invalid card information record, skipping card [Bad family]"));
}

TEST_F(CardDatabase, ValuesFollowTheScanfConversions) {
    load(concat(
        {section("Blank", "100", "FireWire", "USB\\A, USB\\B", "80", {"AtiKey=<any> "}, " 3"),
         {"[Negative]", "Supported=yes", "Model=0x200", "Family=-1", "StackType=+4",
          "BusType=pcmcia", "HardwareId=", "AdPortType=1", "AdDriverCap=0X81", "AdWwanCap=0x3",
          "AdWlanCap=0x1"}}));
    ASSERT_EQ(CardCount(), 2);
    const auto& blank = CardRecord(0);
    EXPECT_EQ(blank.family, 3) << "%d skips leading blanks";
    EXPECT_EQ(blank.model, 0x100u) << "%x without 0x";
    EXPECT_EQ(blank.driverCap, 0x80u);
    EXPECT_EQ(blank.busType, 0) << "an unknown bus loads as 0";
    EXPECT_EQ(blank.hardwareIds, u"USB\\A, USB\\B") << "values are not trimmed";
    EXPECT_EQ(*blank.atiKey, u"<any> ");
    EXPECT_EQ(blank.supported, 1);
    const auto& negative = CardRecord(1);
    EXPECT_EQ(negative.supported, 0) << "only a leading 1 means supported";
    EXPECT_EQ(negative.family, -1);
    EXPECT_EQ(negative.stackType, 4);
    EXPECT_EQ(negative.busType, int32_t(detection::kBusPcmcia));
    EXPECT_EQ(negative.driverCap, 0x81u);
    EXPECT_EQ(negative.portType, 1);
    EXPECT_EQ(negative.wlanCap, 1u);
    EXPECT_TRUE(negative.hardwareIds.empty()) << "an empty value is present";
}

TEST_F(CardDatabase, CommentsBlanksAndLineEndings) {
    const std::string text = "# comment\r\n"
                             "\r\n\r\n"
                             "[Mixed]\n"
                             "Supported=1\r"
                             "#Model=0x999\r\n"
                             "  # not a comment but no key either\n"
                             "model=0x123\r\n"
                             "FAMILY=2\n"
                             "StackType=1\n"
                             "BusType=USB\n"
                             "HardwareId=USB\\MIXED\n"
                             " AdModemName=ignored, it starts with a blank\n"
                             "adporttype=0\n"
                             "ADDRIVERCAP=0x80\n"
                             "AdWwanCap=0x3\n"
                             "AdWlanCap=0x0";
    loadText(text);
    ASSERT_EQ(CardCount(), 1);
    const auto& record = CardRecord(0);
    EXPECT_EQ(record.model, 0x123u) << "a hash mark starts a comment only as first character";
    EXPECT_EQ(record.family, 2) << "keys compare without regard to case";
    EXPECT_FALSE(record.modemNames);
    EXPECT_EQ(record.wlanCap, 0u) << "the last line needs no terminator";
}

TEST_F(CardDatabase, SectionNamesLoseTheirLastCharacter) {
    load(concat(
        {section("Named", "0x100", "USB", "USB\\A", "0x0"),
         {"[X", "Supported=1", "Model=0x1", "Family=0", "StackType=0", "BusType=USB",
          "HardwareId=USB\\X", "AdPortType=0", "AdDriverCap=0", "AdWwanCap=0", "AdWlanCap=0"}}));
    ASSERT_EQ(CardCount(), 2);
    EXPECT_EQ(name(0), "Named");
    EXPECT_EQ(name(1), "X") << "a single character stays whole";
}

TEST_F(CardDatabase, Flag40FollowsTheWwanCapabilities) {
    auto withWwanCap = [](const std::string& name, const std::string& cap,
                          const std::string& driverCap) {
        return std::vector<std::string>{
            "[" + name + "]",   "Supported=1",  "Model=0x100",
            "Family=0",         "StackType=0",  "BusType=USB",
            "HardwareId=X",     "AdPortType=0", "AdDriverCap=" + driverCap,
            "AdWwanCap=" + cap, "AdWlanCap=0"};
    };
    load(concat({withWwanCap("B", "0xB", "0x0"), withWwanCap("Seven", "0x7", "0x40"),
                 withWwanCap("Eighteen", "0x18", "0x40"), withWwanCap("FF", "0xFF", "0x80")}));
    ASSERT_EQ(CardCount(), 4);
    EXPECT_EQ(CardRecord(0).driverCap, 0x40u);
    EXPECT_EQ(CardRecord(1).driverCap, 0x0u) << "below 0x8";
    EXPECT_EQ(CardRecord(2).driverCap, 0x0u) << "no bit of 0x6";
    EXPECT_EQ(CardRecord(3).driverCap, 0xC0u);
}

TEST_F(CardDatabase, InconsistentFlagsAreRemovedWithAWarning) {
    load(concat({section("Nic", "0x100", "USB", "X", "0x2"),
                 section("Ndis", "0x100", "USB", "X", "0x4", {"AdWwanNdisPortName=\\\\.\\N%d"}),
                 section("Reader", "0x100", "USB", "X", "0x88", {"SmartCardReader="}),
                 section("Fine", "0x100", "USB", "X", "0xE",
                         {"WwanNicName=Net", "SmartCardReader=Reader",
                          "AdWwanNdisPortName=\\\\.\\N%d", "AdWwanNdisPortDetect=0x1"})}));
    ASSERT_EQ(CardCount(), 4);
    EXPECT_EQ(CardRecord(0).driverCap, 0u);
    EXPECT_FALSE(CardRecord(0).wwanNicName);
    EXPECT_TRUE(log.has("Nw: ExtractCardInfo(): Inconsistent card database entry for card [Nic], "
                        "WWAN NIC device name is empty or not found but driver flag indicates it "
                        "on this OS, removing flag..."));
    EXPECT_EQ(CardRecord(1).driverCap, 0u);
    EXPECT_FALSE(CardRecord(1).wwanNdisPortName) << "both NDIS fields are dropped";
    EXPECT_TRUE(log.has("Nw: ExtractCardInfo(): Inconsistent card database entry for card [Ndis], "
                        "WWAN NDIS port name a/o detection mode is empty or not found but driver "
                        "flag indicates it on this OS, removing flag..."));
    EXPECT_EQ(CardRecord(2).driverCap, 0x80u);
    EXPECT_TRUE(log.has("Nw: ExtractCardInfo(): Inconsistent card database entry for card "
                        "[Reader], Smart card name is empty or not found but driver flag "
                        "indicates it on this OS, removing flag..."));
    EXPECT_EQ(CardRecord(3).driverCap, 0xEu);
    EXPECT_EQ(log.count("Nw: ExtractCardInfo(): Inconsistent card database entry for card [Fine], "
                        "WWAN NIC device name is empty or not found but driver flag indicates it "
                        "on this OS, removing flag..."),
              0);
}

TEST_F(CardDatabase, SlowWakeupNeedsWindows2000MultiplexingAndTheRightFamilyOrModel) {
    const auto sections = concat({section("F1", "0x100", "USB", "X", "0x1", {}, "1"),
                                  section("F2 no mux", "0x100", "USB", "X", "0x80", {}, "2"),
                                  section("F3", "0x100", "USB", "X", "0x1", {}, "3"),
                                  section("M300", "0x300", "USB", "X", "0x1", {}, "3"),
                                  section("M400", "0x400", "USB", "X", "0x81", {}, "0")});
    poseAs(detection::kOsType2000);
    load(sections);
    ASSERT_EQ(CardCount(), 5);
    const int expected[] = {1, 0, 0, 1, 1};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(CardRecord(i).slowWakeup, expected[i]) << name(i);
    poseAs(detection::kOsTypeNt4);
    load({"[F1]", "Supported=1", "Model=0x100", "Family=1", "StackType=0", "BusType=USB",
          "HardwareId=X", "NtPortType=0", "NtDriverCap=0x1", "NtWwanCap=0x3", "NtWlanCap=0"});
    ASSERT_EQ(CardCount(), 1);
    EXPECT_EQ(CardRecord(0).slowWakeup, 0) << "NT 4.0 is below Windows 2000";
}

TEST_F(CardDatabase, EmptyOrCommentOnlyDatabaseLoadsNoCards) {
    loadText("");
    EXPECT_EQ(CardCount(), 0);
    loadText("# nothing\r\n#else\n");
    EXPECT_EQ(CardCount(), 0);
    EXPECT_EQ(log.count("Nw: Successfully loaded information for 0 cards"), 2);
}

TEST_F(CardDatabase, TableHolds256CardsAndSkipsTheRestWithAnError) {
    std::vector<std::vector<std::string>> sections;
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += database(section("Card " + std::to_string(i), "0x100", "USB", "X", "0x0"));
    loadText(text);
    ASSERT_EQ(CardCount(), detection::kMaxCardRecords);
    EXPECT_EQ(name(255), "Card 255");
    EXPECT_TRUE(log.mentions("skipping card [Card 256]"));
    EXPECT_TRUE(log.mentions("skipping card [Card 299]"));
    EXPECT_TRUE(log.has("Nw: Successfully loaded information for 256 cards"));
}

TEST_F(CardDatabase, ReleaseEmptiesTheTable) {
    loadShipped();
    ASSERT_GT(CardCount(), 0);
    detection::ReleaseCardDb();
    EXPECT_EQ(CardCount(), 0);
    EXPECT_TRUE(log.has("Nw: Card information database released"));
}

TEST_F(CardDatabase, GenericEntryNeedsWindows7AndASupportedSection) {
    const auto generic = section("Generic", "0xFF00", "USB", "MBB", "0x0");
    load(concat({section("A", "0x100", "USB", "X", "0x0"), generic}));
    EXPECT_EQ(detection::GetGenericEntryIndex(), 1);
    poseAs(detection::kOsTypeVista);
    load(concat({section("A", "0x100", "USB", "X", "0x0"), generic}));
    EXPECT_EQ(detection::GetGenericEntryIndex(), -1);
}

TEST_F(CardDatabase, InitializeRemembersACustomModule) {
    static const std::string text = database(concat(
        {section("One", "0x100", "USB", "X", "0x0"), section("Two", "0x200", "USB", "Y", "0x0")}));
    static const detection::CardDbModule module{text};
    EXPECT_EQ(detection::InitializeCardDb(&module), 0u);
    EXPECT_EQ(CardCount(), 2);
    EXPECT_TRUE(log.mentions("(custom)"));
    log.clear();
    EXPECT_EQ(detection::InitializeCardDb(nullptr), 0u);
    EXPECT_EQ(CardCount(), 2) << "the remembered module is used again";
    EXPECT_TRUE(log.mentions("Nw: Loading resources from resource 0x"));
    EXPECT_TRUE(log.mentions("(EXE)"));
}

TEST_F(CardDatabase, InitializeFailsForAnEmptyModuleOrAnUnknownSystem) {
    static const detection::CardDbModule empty{std::string_view()};
    EXPECT_EQ(detection::InitializeCardDb(&empty), detection::kErrorFail);
    EXPECT_TRUE(log.has("Nw: InitializeCardDb(): SizeOfResource failed with 0x80004005"));
    static const std::string text = database(section("One", "0x100", "USB", "X", "0x0"));
    static const detection::CardDbModule module{text};
    platform::overrideOsVersion(platform::OsVersion{platform::kPlatformNt, 5, 7, 0});
    EXPECT_EQ(detection::InitializeCardDb(&module), detection::kErrorNotReady);
    EXPECT_TRUE(log.has("Nw: InitializeCardDb(): Could not determine OS type"));
    EXPECT_EQ(CardCount(), 0);
}

TEST(CardDatabaseLines, GetNextLineSkipsCommentsAndEmptyLinesAndStopsOnTheTerminator) {
    const std::string data = "\r\n#x\r\nfirst\r\n\n#y\nsecond\rthird";
    const char* cursor = data.data();
    size_t remaining = data.size();
    std::vector<std::u16string> lines;
    while (auto line = detection::GetNextLine(cursor, remaining))
        lines.push_back(*line);
    EXPECT_EQ(lines, (std::vector<std::u16string>{u"first", u"second", u"third"}));
    EXPECT_EQ(remaining, 0u);

    const std::string high = "\xE9t\xE9";
    cursor = high.data();
    remaining = high.size();
    EXPECT_EQ(*detection::GetNextLine(cursor, remaining), std::u16string(u"\u00E9t\u00E9"))
        << "each byte becomes one UTF-16 unit";
}

} // namespace
