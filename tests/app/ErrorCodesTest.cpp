#include "app/ErrorCodes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace Kestrel;

constexpr const wchar_t* kRemove =
    L"To complete the update, the device needs to be removed from the computer.";
constexpr const wchar_t* kSuccess = L"The update was completed successfully.";

std::wstring updateHint(int kind, int32_t code, const std::string& fwPrevious = "",
                        const std::string& fwCurrent = "", const std::string& swPrevious = "",
                        const std::string& swCurrent = "") {
    return hint(kind, code, fwPrevious, fwCurrent, swPrevious, swCurrent);
}

TEST(ErrorCodesTest, StartupFailureTextsNameTheCodeInHexadecimal) {
    EXPECT_EQ(description(kDialogInitFailure, 262),
              L"There was an unrecoverable error during application start-up.");
    EXPECT_EQ(updateHint(kDialogInitFailure, 262),
              L"An error was encountered that can not be resolved (error code 106). The "
              L"application will quit.");
    EXPECT_EQ(description(kDialogInitFailure, 258),
              L"Your device is not supported by this application.");
    EXPECT_EQ(updateHint(kDialogInitFailure, 258),
              L"The device can not be updated. Please contact your vendor's support to get a "
              L"suitable version. The application will quit.");
    EXPECT_EQ(updateHint(kDialogInitFailure, kResultNoPackage),
              L"An error was encountered that can not be resolved (error code 80000000). The "
              L"application will quit.");
}

TEST(ErrorCodesTest, DeviceCheckTextsSeparateWarningClassNoFirmwareAndOtherCodes) {
    EXPECT_EQ(description(kDialogDeviceUnusable, 0x10010001),
              L"There was an unrecoverable problem when checking the firmware package.");
    EXPECT_EQ(updateHint(kDialogDeviceUnusable, 0x10010001),
              L"The firmware package seems to be broken and can not be used to update the device "
              L"(error code 10010001). The application will quit.");
    EXPECT_EQ(description(kDialogDeviceUnusable, 0x2000000F),
              L"There is no firmware available for the currently inserted device.");
    EXPECT_EQ(updateHint(kDialogDeviceUnusable, 0x2000000F),
              L"The firmware of the device can not be updated by this application. Please contact "
              L"your vendor's support (error code 2000000F).");
    EXPECT_EQ(description(kDialogDeviceUnusable, 258),
              L"Your device is not supported by this application.");
    EXPECT_EQ(updateHint(kDialogDeviceUnusable, 258),
              L"The device is not supported by this application. Please contact your vendor's "
              L"support (error code 102).");
    // 0x1000002A is a warning, but not of the device-information class.
    for (int32_t code : {257, 270, 0x1000002A, static_cast<int32_t>(0x20000028), 0x10020001}) {
        EXPECT_EQ(description(kDialogDeviceUnusable, code),
                  L"The currently inserted device can not be updated.")
            << code;
        EXPECT_NE(updateHint(kDialogDeviceUnusable, code).find(L"Eject the device and try again."),
                  std::wstring::npos)
            << code;
    }
    EXPECT_EQ(updateHint(kDialogDeviceUnusable, 270),
              L"Eject the device and try again. If the problem persists, contact your vendor's "
              L"support (error code 10E).");
}

TEST(ErrorCodesTest, SuccessHintSaysSuccessOnlyWhenAVersionReallyChanged) {
    EXPECT_EQ(updateHint(kDialogUpdateSuccess, 0, "3.19.0", "3.20.1"),
              std::wstring(kSuccess) + L" " + kRemove);
    EXPECT_EQ(updateHint(kDialogUpdateSuccess, 0, "3.20.1", "3.20.1", "1.2.3", "1.2.4"),
              std::wstring(kSuccess) + L" " + kRemove);
    EXPECT_EQ(updateHint(kDialogUpdateSuccess, 0), kRemove);
    EXPECT_EQ(updateHint(kDialogUpdateSuccess, 0, "3.20.1", "3.20.1", "1.2.3", "1.2.3"), kRemove);
    // An empty text never differs from another.
    EXPECT_EQ(updateHint(kDialogUpdateSuccess, 0, "", "3.20.1", "1.2.3", ""), kRemove);
    EXPECT_EQ(description(kDialogUpdateSuccess, 0), L"Update completed!");
    EXPECT_EQ(description(kDialogUpdateFailure, 0), L"Update completed!");
}

TEST(ErrorCodesTest, UpdateEndingsHaveTheirOwnTexts) {
    EXPECT_EQ(description(kDialogUpdateFailure, 265), L"Update completed!");
    EXPECT_EQ(updateHint(kDialogUpdateFailure, 265, "a", "b"),
              L"Please repeat the update in order to finalise this process.");
    EXPECT_EQ(description(kDialogUpdateFailure, 279),
              L"The updating process was terminated without being complete.");
    EXPECT_EQ(updateHint(kDialogUpdateFailure, 279),
              L"The device was ejected while the update was in progress. The device may be "
              L"unusable. Try again to update the device.");
    EXPECT_EQ(description(kDialogUpdateSuccess, 266), L"Update completed!");
    EXPECT_EQ(updateHint(kDialogUpdateSuccess, 266, "1", "2", "x", "y"),
              std::wstring(kSuccess) +
                  L" After installing software, remove the device from your computer to complete "
                  L"the update.");
    EXPECT_EQ(updateHint(kDialogUpdateSuccess, 266, "1", "1", "x", "y"),
              L"After installing software, remove the device from your computer to complete the "
              L"update.");
    const struct {
        int32_t code;
        const wchar_t* hex;
    } softwareFailures[] = {{278, L"116"}, {280, L"118"}, {281, L"119"}, {308, L"134"}};
    for (const auto& failure : softwareFailures) {
        EXPECT_EQ(description(kDialogUpdateFailure, failure.code),
                  L"There was an error preventing software installation to take place.");
        EXPECT_EQ(updateHint(kDialogUpdateFailure, failure.code, "3.19.0", "3.20.1"),
                  std::wstring(L"The software on your computer was not updated (error code ") +
                      failure.hex +
                      L"). The firmware was changed from version 3.19.0 to version 3.20.1. " +
                      kRemove);
    }
    EXPECT_EQ(updateHint(kDialogUpdateFailure, 308, "3.20.1", "3.20.1"),
              std::wstring(L"The software on your computer was not updated (error code 134). ") +
                  kRemove);
    EXPECT_EQ(description(kDialogUpdateFailure, 277),
              L"There was an error while updating your device. The update of the device is "
              L"incomplete.");
    EXPECT_EQ(updateHint(kDialogUpdateFailure, static_cast<int32_t>(0x20000062)),
              L"An error (code 20000062) prevented the update to complete. The device may be "
              L"unusable. Try again to update the device. If the problem persists, contact your "
              L"supplier's support.");
}

TEST(ErrorCodesTest, UnknownKindsGiveEmptyTextsAndClassZero) {
    for (int kind : {0, 1, 3, 6, 8, 13, -1}) {
        EXPECT_EQ(description(kind, 258), L"");
        EXPECT_EQ(updateHint(kind, 0, "1", "2"), L"");
        EXPECT_EQ(closeClass(258, kind), kCloseNone);
    }
}

TEST(ErrorCodesTest, CloseClassesAllowRetryOnlyWhereTheSituationMayChange) {
    EXPECT_EQ(closeClass(0, kDialogInitFailure), kCloseQuit);
    EXPECT_EQ(closeClass(262, kDialogInitFailure), kCloseQuit);
    EXPECT_EQ(closeClass(258, kDialogDeviceUnusable), kCloseQuit);
    EXPECT_EQ(closeClass(0x1001000F, kDialogDeviceUnusable), kCloseQuit);
    EXPECT_EQ(closeClass(257, kDialogDeviceUnusable), kCloseRetry);
    EXPECT_EQ(closeClass(kResultNoPackage, kDialogDeviceUnusable), kCloseRetry);
    EXPECT_EQ(closeClass(265, kDialogUpdateFailure), kCloseRetry);
    EXPECT_EQ(closeClass(277, kDialogUpdateFailure), kCloseQuit);
    EXPECT_EQ(closeClass(0, kDialogUpdateSuccess), kCloseSuccess);
    EXPECT_EQ(closeClass(265, kDialogUpdateSuccess), kCloseSuccess);
}

TEST(ErrorCodesTest, ExitCodesFollowTheInstallerCategories) {
    const struct {
        int exitCode;
        std::initializer_list<int32_t> codes;
    } rows[] = {
        {0, {0, 265, 266}},
        {2, {258, 260, 264, 267, 268, 269, 273, 274, 275, 276, 277, 279, 282, 283}},
        {3, {278, 280, 281, 307, 308, 312, 314}},
        {4, {259, 270, 271, 272}},
        {5, {295, 297, 298, 301, 305, 306}},
        {1,
         {257, 261, 262, 284, 289, 294, 296, 4714, kResultNoPackage,
          static_cast<int32_t>(0x20000028), 0x10000003, -1}},
    };
    for (const auto& row : rows)
        for (int32_t code : row.codes)
            EXPECT_EQ(mapExitCode(code), row.exitCode) << code;
}

TEST(ErrorCodesTest, InstalledLookupTranslatesEachSentenceAndCodesAreFilledAfterIt) {
    setTranslationLookup([](const char* message) {
        std::wstring text = L"<" + widen(message) + L">";
        return text;
    });
    EXPECT_EQ(description(kDialogUpdateSuccess, 0), L"<Update completed!>");
    EXPECT_EQ(updateHint(kDialogUpdateSuccess, 0, "1", "2"),
              std::wstring(L"<") + kSuccess + L"> <" + kRemove + L">");
    EXPECT_EQ(updateHint(kDialogInitFailure, 262),
              L"<An error was encountered that can not be resolved (error code 106). The "
              L"application will quit.>");
    // A catalog text is never used as a format: stray directives stay as they are.
    setTranslationLookup([](const char*) { return std::wstring(L"%d %n %s 100%% %X"); });
    EXPECT_EQ(updateHint(kDialogDeviceUnusable, 270), L"%d %n  100% 10E");
    setTranslationLookup(nullptr);
    EXPECT_EQ(translate("Update completed!"), L"Update completed!");
}

TEST(ErrorCodesTest, WidenKeepsUtf8AndReplacesBrokenBytes) {
    EXPECT_EQ(widen("v3.20 \xC3\xA9\xE2\x80\x94"), L"v3.20 \u00E9\u2014");
    EXPECT_EQ(widen("a\xFF"
                    "b\xC3"),
              L"a\uFFFDb\uFFFD");
    EXPECT_EQ(widen("\xC0\x80"), L"\uFFFD\uFFFD"); // overlong
}

} // namespace
