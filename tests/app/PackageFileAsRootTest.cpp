#include "app/ErrorCodes.h"
#include "app/PackageImage.h"

#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace Kestrel;
namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65531;
const uint8_t kEmbedded[] = {'e', 'm', 'b', 'e', 'd', 'd', 'e', 'd'};
constexpr const char* kFileBytes = "package file";

bool embedded(const uint8_t*& data, size_t& size) {
    data = kEmbedded;
    size = sizeof kEmbedded;
    return true;
}

// As root, a package beside the program counts only when nobody else could have put it there.
class PackageFileAsRoot : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "planting a package as another user needs root";
        unsetenv("KESTREL_SIM_ROOT");
        char pattern[] = "/tmp/kestrel-package-root-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        chmod(folder.c_str(), 0755);
        package = folder / "Planted.pck";
        std::ofstream(package) << kFileBytes;
        chmod(package.c_str(), 0644);
        PackageImage::setModuleDirectory(folder.string());
        PackageImage::setEmbeddedLookup(&embedded);
    }
    void TearDown() override {
        PackageImage::setModuleDirectory("");
        PackageImage::setEmbeddedLookup(nullptr);
        std::error_code ignored;
        if (!folder.empty())
            fs::remove_all(folder, ignored);
    }
    // Whether load took the embedded package rather than the file.
    bool tookEmbedded() {
        PackageImage image;
        EXPECT_EQ(image.load(), kResultOk);
        return image.data() == kEmbedded;
    }

    fs::path folder;
    fs::path package;
};

TEST_F(PackageFileAsRoot, RootsFileInRootsFolderReplacesTheEmbeddedPackage) {
    EXPECT_FALSE(tookEmbedded());
}

TEST_F(PackageFileAsRoot, FileOfAnotherUserOrWritableByOthersIsIgnoredWithTheReason) {
    LogCapture log("kestrel.app.info.package");
    ASSERT_EQ(chown(package.c_str(), kOtherUser, kOtherUser), 0);
    EXPECT_TRUE(tookEmbedded());
    EXPECT_TRUE(log.contains("Package file " + package.string() + " ignored: it belongs to user " +
                             std::to_string(kOtherUser) + "; using the embedded package"));
    ASSERT_EQ(chown(package.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(package.c_str(), 0664), 0);
    EXPECT_TRUE(tookEmbedded());
    EXPECT_TRUE(log.contains("Package file " + package.string() +
                             " ignored: others can write it; using the embedded package"));
}

TEST_F(PackageFileAsRoot, FolderOthersCanWriteOrALinkIsIgnored) {
    for (const mode_t mode : {0777, 01777, 0775}) {
        ASSERT_EQ(chmod(folder.c_str(), mode), 0);
        EXPECT_TRUE(tookEmbedded()) << std::oct << mode;
    }
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    const fs::path elsewhere = folder / "elsewhere";
    fs::rename(package, elsewhere);
    fs::create_symlink(elsewhere, package);
    EXPECT_TRUE(tookEmbedded()) << "a link beside the program is not the package";
}

} // namespace
