#include "platform/Resource.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

// The test program carries PE resources made by the resource compiler (see CMakeLists.txt):
// found by type and by id or name without regard to case, enumerated by type, and the bytes are
// the files' own.
namespace {

std::string fileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(PeResources, ResourcesAreFoundByTypeAndIdOrNameWithTheFilesBytes) {
    const auto database = platform::findResource("NW_DATA", 101);
    ASSERT_TRUE(database);
    EXPECT_EQ(std::string(*database), fileText(KESTREL_TEST_CARD_DATABASE));
    const auto data = platform::findResource(platform::kResourceTypeData, "#101");
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(*data), fileText(KESTREL_TEST_RCDATA));
    const auto catalog = platform::findResource("mo", "en/app.mo");
    ASSERT_TRUE(catalog);
    EXPECT_EQ(std::string(*catalog), fileText(KESTREL_TEST_RCDATA));
    EXPECT_FALSE(platform::findResource("NW_DATA", 102));
    EXPECT_FALSE(platform::findResource("NO_SUCH_TYPE", 101));
}

TEST(PeResources, NamesOfATypeAreEnumeratedAndAMissingTypeFails) {
    std::vector<std::string> names;
    ASSERT_TRUE(platform::enumerateResourceNames("NW_DATA", names));
    EXPECT_EQ(names, std::vector<std::string>{"#101"});
    ASSERT_TRUE(platform::enumerateResourceNames("MO", names));
    EXPECT_EQ(names, std::vector<std::string>{"EN/APP.MO"});
    EXPECT_FALSE(platform::enumerateResourceNames("NO_SUCH_TYPE", names));
    EXPECT_TRUE(names.empty());
}

TEST(PeResources, ExecutableDirectoryHoldsTheRunningProgram) {
    const std::string directory = platform::executableDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.back(), '\\');
    EXPECT_EQ(platform::executablePath().rfind(directory, 0), 0u);
    EXPECT_EQ(platform::executablePath().substr(directory.size()), "windows_tests.exe");
}

} // namespace
