#include "platform/RegistryStore.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

// On Windows the machine's registry store is the system registry (wine's, here): values written
// through it are read back with their types, and missing keys and values answer as
// RegOpenKeyEx and RegQueryValueEx do.
namespace {

constexpr const char* kKey = "HKEY_CURRENT_USER\\Software\\Velmar\\KestrelTest";

class SystemRegistryTest : public ::testing::Test {
protected:
    void TearDown() override {
        platform::RegistryStore store;
        store.deleteValue(kKey, "Flashed");
        store.deleteValue(kKey, "Owner");
    }
};

TEST_F(SystemRegistryTest, StoreOfTheMachineIsTheSystemRegistry) {
    EXPECT_TRUE(platform::RegistryStore::defaultFile().empty());
}

TEST_F(SystemRegistryTest, DwordAndStringValuesAreWrittenAndReadBackWithTheirTypes) {
    platform::RegistryStore store;
    ASSERT_EQ(store.createKey(kKey), 0u);
    ASSERT_EQ(store.setDword(kKey, "Flashed", 2), 0u);
    ASSERT_EQ(store.setString(kKey, "Owner", "Kestrel \"test\""), 0u);

    // A second store sees what the first wrote: nothing is kept in the object.
    platform::RegistryStore reader;
    uint32_t dword = 0;
    EXPECT_EQ(reader.queryDword(kKey, "Flashed", dword), 0u);
    EXPECT_EQ(dword, 2u);
    std::string text;
    EXPECT_EQ(reader.queryString(kKey, "Owner", text), 0u);
    EXPECT_EQ(text, "Kestrel \"test\"");
    EXPECT_EQ(reader.queryString(kKey, "Flashed", text), platform::RegistryError::kWrongType);
    std::vector<std::string> names;
    EXPECT_EQ(reader.valueNames(kKey, names), 0u);
    EXPECT_NE(std::find(names.begin(), names.end(), "Flashed"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "Owner"), names.end());

    EXPECT_EQ(store.deleteValue(kKey, "Flashed"), 0u);
    EXPECT_EQ(reader.queryDword(kKey, "Flashed", dword), platform::RegistryError::kNotFound);
}

TEST_F(SystemRegistryTest, MissingKeyOrUnknownRootIsReported) {
    platform::RegistryStore store;
    uint32_t dword = 0;
    EXPECT_EQ(store.queryDword("HKEY_CURRENT_USER\\Software\\Velmar\\NoSuchKey", "x", dword),
              platform::RegistryError::kNotFound);
    EXPECT_EQ(store.setDword("HKEY_NOWHERE\\Software", "x", 1),
              platform::RegistryError::kBadArgument);
}

// The update record is read by installers built as 32-bit programs: on 64-bit Windows they see
// HKLM\Software through WOW6432Node, where the store writes it, and not the 64-bit view.
TEST_F(SystemRegistryTest, MachineKeysAreWrittenWhereA32BitProgramReadsThem) {
    constexpr const char* kMachineKey = "HKEY_LOCAL_MACHINE\\Software\\Velmar\\KestrelViewTest";
    constexpr const wchar_t* kSubkey = L"Software\\Velmar\\KestrelViewTest";
    platform::RegistryStore store;
    ASSERT_EQ(store.setDword(kMachineKey, "3.19.0", 1), 0u);

    HKEY opened = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSubkey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &opened),
        ERROR_SUCCESS);
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    EXPECT_EQ(
        RegQueryValueExW(opened, L"3.19.0", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 1u);
    RegCloseKey(opened);
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSubkey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened),
        ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSubkey, KEY_WOW64_32KEY, 0), ERROR_SUCCESS);
}

} // namespace
