#include "app/ErrorCodes.h"
#include "update/ProgressTable.h"

#include <gtest/gtest.h>

namespace {

using namespace Kestrel;

TEST(ProgressTable, FirstAndLastCodesAreInTheTable) {
    ASSERT_NE(progressEntry(2), nullptr);
    EXPECT_EQ(progressPhaseText(2), L"Preparing update");
    ASSERT_NE(progressEntry(21), nullptr);
    EXPECT_EQ(progressActionText(21), L"Install host software...");
}

TEST(ProgressTable, LastPhaseShowsItsTextAndPhaseOneNothing) {
    ASSERT_NE(progressEntry(19), nullptr);
    EXPECT_EQ(progressEntry(19)->phase, 6);
    EXPECT_EQ(progressPhaseText(19), L"Software installation") << "the last phase";
    ASSERT_NE(progressEntry(3), nullptr);
    EXPECT_EQ(progressEntry(3)->phase, 1);
    EXPECT_EQ(progressPhaseText(3), L"") << "phase 1 shows nothing";
}

TEST(ProgressTable, CodesOutsideTheTableAreUnknownAndUntranslated) {
    setTranslationLookup([](const char* message) { return L"[" + widen(message) + L"]"; });
    for (int code : {0, 1, 22, 100, -3}) {
        EXPECT_EQ(progressEntry(code), nullptr);
        EXPECT_EQ(progressActionText(code),
                  L"Unknown notification (code " + std::to_wstring(code) + L")");
        EXPECT_EQ(progressPhaseText(code), L"[--]");
    }
    EXPECT_EQ(progressActionText(9), L"[Sending firmware]");
    EXPECT_EQ(progressPhaseText(11), L"") << "phase 1 shows nothing, translated or not";
    setTranslationLookup(nullptr);
}

TEST(ProgressTable, LibraryNotificationsMapToApplicationCodes) {
    const struct {
        int library;
        int application;
    } rows[] = {{1, 2}, {8, 11}, {9, 11}, {12, 13}, {100, 13}, {101, 14}};
    for (const auto& row : rows)
        EXPECT_EQ(mapLibraryProgress(row.library), row.application) << row.library;
}

TEST(ProgressTable, UnknownLibraryNotificationsMapToNothing) {
    for (int library : {0, 13, 99, 102, -1})
        EXPECT_EQ(mapLibraryProgress(library), 0) << library;
}

} // namespace
