#include "platform/RegistryStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

using namespace platform;
namespace fs = std::filesystem;

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\Software\\Velmar\\FirmwareUpdate\\QT0880";

class RegistryStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        file = (root / "var/lib/kestrel/registry.txt").string();
    }
    void TearDown() override {
        unsetenv("KESTREL_SIM_ROOT");
        std::error_code error;
        fs::remove_all(root, error);
    }
    std::string contents() {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path root;
    std::string file;
};

TEST_F(RegistryStoreTest, StoreLiesUnderTheSimulatedSysroot) {
    setenv("KESTREL_SIM_ROOT", root.c_str(), 1);
    EXPECT_EQ(RegistryStore::defaultFile(),
              root.string() + "/sysroot/var/lib/kestrel/registry.txt");
    RegistryStore store;
    EXPECT_EQ(store.setDword(kKey, "3.20.1", 1), RegistryError::kOk);
    EXPECT_TRUE(fs::exists(root / "sysroot/var/lib/kestrel/registry.txt"));
    unsetenv("KESTREL_SIM_ROOT");
    EXPECT_EQ(RegistryStore::defaultFile(), "/var/lib/kestrel/registry.txt");
}

TEST_F(RegistryStoreTest, ValuesAreWrittenAsReadableTextAndReadBack) {
    RegistryStore store(file);
    ASSERT_EQ(store.setDword(kKey, "3.20.1", 1), RegistryError::kOk);
    ASSERT_EQ(store.setString(kKey, "Note", "a \"quoted\" C:\\path\nline two"), RegistryError::kOk);
    const std::string text = contents();
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Velmar\\FirmwareUpdate\\QT0880]\n"
                        "\"3.20.1\"=dword:00000001\n"
                        "\"Note\"=\"a \\\"quoted\\\" C:\\\\path\\nline two\"\n"),
              std::string::npos)
        << text;
    uint32_t dword = 0;
    EXPECT_EQ(store.queryDword(kKey, "3.20.1", dword), RegistryError::kOk);
    EXPECT_EQ(dword, 1u);
    std::string note;
    EXPECT_EQ(store.queryString(kKey, "Note", note), RegistryError::kOk);
    EXPECT_EQ(note, "a \"quoted\" C:\\path\nline two");
    // Parent keys exist as keys of their own.
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Velmar]\n"), std::string::npos);
}

TEST_F(RegistryStoreTest, KeysAndNamesIgnoreCaseAndTrailingBackslashesAndOverwriteInPlace) {
    RegistryStore store(file);
    ASSERT_EQ(store.setDword(std::string(kKey) + "\\", "3.20.1", 2), RegistryError::kOk);
    ASSERT_EQ(
        store.setDword("hkey_local_machine\\SOFTWARE\\velmar\\firmwareupdate\\qt0880", "3.20.1", 1),
        RegistryError::kOk);
    std::vector<std::string> names;
    ASSERT_EQ(store.valueNames(kKey, names), RegistryError::kOk);
    ASSERT_EQ(names.size(), 1u);
    uint32_t value = 0;
    EXPECT_EQ(store.queryDword(kKey, "3.20.1", value), RegistryError::kOk);
    EXPECT_EQ(value, 1u);
    std::string text;
    EXPECT_EQ(store.queryString(kKey, "3.20.1", text), RegistryError::kWrongType);
    EXPECT_EQ(store.queryDword(kKey, "missing", value), RegistryError::kNotFound);
    EXPECT_EQ(store.queryDword("HKEY_LOCAL_MACHINE\\Nothing", "x", value),
              RegistryError::kNotFound);
    EXPECT_EQ(store.deleteValue(kKey, "3.20.1"), RegistryError::kOk);
    EXPECT_EQ(store.queryDword(kKey, "3.20.1", value), RegistryError::kNotFound);
    EXPECT_EQ(store.deleteValue(kKey, "3.20.1"), RegistryError::kNotFound);
}

TEST_F(RegistryStoreTest, MissingStoreReadsAsEmptyAndBadArgumentsAreRefused) {
    RegistryStore store(file);
    uint32_t value = 0;
    EXPECT_EQ(store.queryDword(kKey, "x", value), RegistryError::kNotFound);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(store.setDword("", "x", 1), RegistryError::kBadArgument);
    EXPECT_EQ(store.setDword("\\\\", "x", 1), RegistryError::kBadArgument);
    EXPECT_EQ(store.setDword("A\nB", "x", 1), RegistryError::kBadArgument);
    EXPECT_EQ(store.setDword(kKey, "line\nbreak", 1), RegistryError::kBadArgument);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(store.createKey(kKey), RegistryError::kOk);
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(store.valueNames(kKey, names), RegistryError::kOk);
    EXPECT_TRUE(names.empty());
}

TEST_F(RegistryStoreTest, MalformedStoreIsReportedAndNeverOverwritten) {
    const std::string bads[] = {
        "\"orphan\"=dword:1\n",
        "[Key\n",
        "[]\n",
        "[Key]\n\"name\"=dword:123456789\n",
        "[Key]\n\"name\"=dword:xyz\n",
        "[Key]\n\"name\"=dword:\n",
        "[Key]\n\"name\"=\"unterminated\n",
        "[Key]\n\"name\"=\"bad escape \\q\"\n",
        "[Key]\n\"name\"=\"trailing\" junk\n",
        "[Key]\nname=1\n",
        "[Key]\n\"name\"\n",
    };
    for (const std::string& bad : bads) {
        fs::create_directories(fs::path(file).parent_path());
        std::ofstream(file) << bad;
        RegistryStore store(file);
        uint32_t value = 0;
        EXPECT_EQ(store.queryDword("Key", "name", value), RegistryError::kInvalidData) << bad;
        EXPECT_EQ(store.setDword("Key", "other", 1), RegistryError::kInvalidData) << bad;
        EXPECT_EQ(contents(), bad);
        RegistryStoreKeys parsed;
        std::string problem;
        EXPECT_FALSE(parseRegistryText(bad, parsed, problem)) << bad;
        EXPECT_NE(problem.find("line "), std::string::npos) << bad;
    }
}

TEST_F(RegistryStoreTest, TextWrittenByHandWithCommentsAndCarriageReturnsIsRead) {
    fs::create_directories(fs::path(file).parent_path());
    std::ofstream(file) << "; written by a person\r\n\r\n[Key\\Sub]\r\n\"n\"=dword:0000ABCD\r\n"
                           "\"s\"=\"x\"\r\n";
    RegistryStore store(file);
    uint32_t value = 0;
    EXPECT_EQ(store.queryDword("key\\sub", "N", value), RegistryError::kOk);
    EXPECT_EQ(value, 0xABCDu);
    ASSERT_EQ(store.setDword("Key\\Sub", "m", 7), RegistryError::kOk);
    std::string text;
    EXPECT_EQ(store.queryString("Key\\Sub", "s", text), RegistryError::kOk);
    EXPECT_EQ(text, "x");
}

TEST_F(RegistryStoreTest, WritesLeaveNoTemporaryFilesAndConcurrentWritersLoseNothing) {
    RegistryStore store(file);
    std::thread writers[2];
    for (int w = 0; w < 2; ++w)
        writers[w] = std::thread([&, w] {
            RegistryStore own(file);
            for (int i = 0; i < 25; ++i)
                EXPECT_EQ(own.setDword(kKey, "w" + std::to_string(w) + "-" + std::to_string(i),
                                       static_cast<uint32_t>(i)),
                          RegistryError::kOk);
        });
    for (auto& writer : writers)
        writer.join();
    std::vector<std::string> names;
    ASSERT_EQ(store.valueNames(kKey, names), RegistryError::kOk);
    EXPECT_EQ(names.size(), 50u);
    for (const auto& entry : fs::directory_iterator(fs::path(file).parent_path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "registry.txt" || name == "registry.txt.lock") << name;
    }
}

TEST_F(RegistryStoreTest, UnwritableStoreLocationGivesAnErrorAndKeepsTheOldStore) {
    RegistryStore store(file);
    ASSERT_EQ(store.setDword(kKey, "a", 1), RegistryError::kOk);
    const std::string before = contents();
    if (geteuid() != 0) {
        fs::permissions(fs::path(file).parent_path(),
                        fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(store.setDword(kKey, "b", 2), RegistryError::kAccessDenied);
        fs::permissions(fs::path(file).parent_path(), fs::perms::owner_all);
        EXPECT_EQ(contents(), before);
    }
    // A store whose folder is a plain file cannot be written, even by root.
    std::ofstream(root / "blocker") << "x";
    RegistryStore blocked((root / "blocker/registry.txt").string());
    EXPECT_NE(blocked.setDword(kKey, "b", 2), RegistryError::kOk);
    uint32_t value = 0;
    EXPECT_NE(blocked.queryDword(kKey, "b", value), RegistryError::kOk);
    EXPECT_EQ(contents(), before);
}

} // namespace
