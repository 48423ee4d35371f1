// kestrel-pck: the recipe build is deterministic and gives the embedded package; the inspector
// prints the fields and names the first fault.

#include "PackageTestSupport.h"

#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

using namespace packagetest;

namespace {

struct ToolRun {
    int status = -1;
    std::string output;
};

std::string tool() {
    const char* build = std::getenv("KESTREL_BUILD_DIR");
    return std::string(build ? build : ".") + "/tools/kestrel-pck";
}

ToolRun run(const std::string& arguments) {
    ToolRun result;
    testsupport::PipedChild child =
        testsupport::startPipedChild({"/bin/sh", "-c", tool() + " " + arguments + " 2>&1"});
    if (child.output == nullptr)
        return result;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, child.output)) > 0)
        result.output.append(buffer, got);
    result.status = testsupport::finishPipedChild(child);
    return result;
}

class PackageTool : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        folder = std::filesystem::temp_directory_path() /
                 ("kestrel-pck-test-" + std::to_string(random()));
        std::filesystem::create_directories(folder);
    }
    void TearDown() override {
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }
    std::string write(const std::string& name, const Bytes& data) {
        const std::string path = (folder / name).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        return path;
    }
    Bytes read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::filesystem::path folder;
};

TEST_F(PackageTool, RecipeBuildsTheEmbeddedPackageByteForByte) {
    const std::string recipe = KESTREL_PACKAGE_RECIPE;
    const std::string out = (folder / "again.pck").string();
    const ToolRun built = run("build " + recipe + " " + out);
    ASSERT_EQ(built.status, 0) << built.output;
    EXPECT_TRUE(read(out) == embeddedPackage()) << "the build is deterministic";
}

TEST_F(PackageTool, InspectorPrintsEveryFieldOfTheEmbeddedPackage) {
    const ToolRun shown = run(std::string("inspect ") + KESTREL_EMBEDDED_PACKAGE_PATH);
    EXPECT_EQ(shown.status, 0) << shown.output;
    for (const char* expected :
         {"tool version 0.3", "chip-set family 0xFF", "payload size 107, checksum 0x4C",
          "payload size 3472180, checksum 0x9E", "type 9, tag \"-MOD-\"", "data size 3471536",
          "data checksum 0xB2", "magic 0x1CE8040A, header length 64, payload size 3471472",
          "kind word 0x1000000", "header checksum: words XOR to 0", "revision=3.19.0",
          "software=2.8.1", "tail 512 bytes", "valid"})
        EXPECT_NE(shown.output.find(expected), std::string::npos) << expected << "\n"
                                                                  << shown.output;
}

TEST_F(PackageTool, InspectorNamesTheFirstFault) {
    const Bytes good = smallPackage(100);
    const std::pair<size_t, const char*> faults[] = {
        {25, "entry 1 at offset 17: entry checksum"},
        {kEmbeddedInfoOffset + 3, "entry 1 at offset 17: entry checksum"},
        {kEmbeddedFileHeaderOffset + 632, "entry 2 at offset 136: entry checksum"},
        {kEmbeddedImageOffset + 8, "entry 2 at offset 136: entry checksum"},
    };
    for (const auto& [offset, expected] : faults) {
        Bytes broken = good;
        broken[offset] ^= 0x01;
        const ToolRun shown = run("inspect " + write("broken.pck", broken));
        EXPECT_EQ(shown.status, 1) << offset;
        EXPECT_NE(shown.output.find(std::string("fault: ") + expected), std::string::npos)
            << offset << "\n"
            << shown.output;
    }
    const ToolRun truncated =
        run("inspect " + write("cut.pck", Bytes(good.begin(), good.end() - 5)));
    EXPECT_EQ(truncated.status, 1);
    EXPECT_NE(truncated.output.find("points past the end"), std::string::npos) << truncated.output;

    // A data byte changed with both checksums fixed leaves the wrapped header checksum wrong.
    Bytes image = smallImage(40);
    image[12] ^= 0x10;
    const ToolRun header = run("inspect " + write("image.wrapped", image));
    EXPECT_EQ(header.status, 1);
    EXPECT_NE(header.output.find("fault: wrapped header checksum wrong"), std::string::npos)
        << header.output;
}

TEST_F(PackageTool, WrapAndPackMakeAPackageTheLibraryReads) {
    const std::string payload = write("payload.bin", tools::fillerBytes(1000, 7));
    const std::string image = (folder / "fw.wrapped").string();
    ASSERT_EQ(run("wrap --kind 6 " + payload + " " + image).status, 0);
    const ToolRun bare = run("inspect " + image);
    EXPECT_EQ(bare.status, 0) << bare.output;
    EXPECT_NE(bare.output.find("(kind 6)"), std::string::npos) << bare.output;

    const std::string info = write("info.txt", Bytes(kInfoText.begin(), kInfoText.end()));
    const std::string pck = (folder / "out.pck").string();
    const ToolRun packed = run("pack --tool-version 1.2 --chipset 7 --info " + info +
                               " --file 15:fw.wrapped:-MOD-:" + image + " " + pck);
    ASSERT_EQ(packed.status, 0) << packed.output;
    const ToolRun shown = run("inspect " + pck);
    EXPECT_EQ(shown.status, 0) << shown.output;
    EXPECT_NE(shown.output.find("tool version 1.2, chip-set family 0x7"), std::string::npos);

    const Bytes data = read(pck);
    FfInfoRecord record;
    EXPECT_EQ(infoOf(data, 0, record), 0u);
    EXPECT_STREQ(record.version, "3.19.0");
    EXPECT_EQ(run("bogus").status, 2);
    EXPECT_EQ(run("build /nonexistent/recipe " + pck).status, 1);
}

} // namespace
