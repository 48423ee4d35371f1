#include "app/ErrorCodes.h"
#include "update/ProgressTable.h"

#include <gtest/gtest.h>

namespace {

using namespace Kestrel;

TEST(ProgressTable, PhaseAndActionTextsOfEveryCode) {
    const struct {
        int code;
        const wchar_t* phase;
        const wchar_t* action;
    } rows[] = {
        {2, L"Preparing update", L""},
        {3, L"", L""},
        {4, L"Preparing update", L""},
        {5, L"Updating device", L"Sending preloader"},
        {6, L"Updating device", L"Starting preloader"},
        {7, L"", L"Checking boot block"},
        {8, L"Updating device", L"Sending boot code"},
        {9, L"Updating device", L"Sending firmware"},
        {10, L"Finalising update", L"Completing update"},
        {11, L"", L""},
        {12, L"", L"Resetting device"},
        {13, L"", L""},
        {14, L"", L""},
        {15, L"Getting device information", L"Getting device information"},
        {16, L"", L""},
        {17, L"", L"Checking for SIM..."},
        {18, L"", L"Reading firmware version..."},
        {19, L"Software installation", L"Activate Instavol volume..."},
        {20, L"", L"Launch installer..."},
        {21, L"", L"Install host software..."},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(progressPhaseText(row.code), row.phase) << row.code;
        EXPECT_EQ(progressActionText(row.code), row.action) << row.code;
        ASSERT_NE(progressEntry(row.code), nullptr);
    }
    EXPECT_EQ(progressEntry(19)->phase, 6);
    EXPECT_EQ(progressEntry(15)->phase, 5);
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
    } rows[] = {{1, 2},  {2, 4},  {3, 5},   {4, 6},   {5, 7},   {6, 8},    {7, 9},
                {8, 11}, {9, 11}, {10, 10}, {11, 12}, {12, 13}, {100, 13}, {101, 14},
                {0, 0},  {13, 0}, {99, 0},  {102, 0}, {-1, 0}};
    for (const auto& row : rows)
        EXPECT_EQ(mapLibraryProgress(row.library), row.application) << row.library;
}

} // namespace
