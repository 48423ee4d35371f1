#include "app/PackageImage.h"

#include "app/ErrorCodes.h"
#include "app/util/Log.h"
#include "platform/Process.h"
#include "platform/Resource.h"
#include "platform/SystemPaths.h"
#include "platform/Text.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace Kestrel {
namespace {

constexpr const char* kPackageSuffix = ".pck";
constexpr int kPackageResourceId = 101;

const log4cplus::Logger& packageLogger() {
    static const log4cplus::Logger logger = Log::logger("kestrel.app.info.package");
    return logger;
}

std::atomic<PackageImage::EmbeddedLookup> embeddedLookup{nullptr};

struct ModuleFolder {
    std::mutex mutex;
    std::string folder;
};

ModuleFolder& moduleFolder() {
    static ModuleFolder* folder = new ModuleFolder;
    return *folder;
}

bool endsWithPackageSuffix(const std::string& name) {
    // A name that is only the suffix is not a package.
    const std::string_view suffix = kPackageSuffix;
    return name.size() > suffix.size() && platform::endsWithIgnoringCase(name, suffix);
}

// The first file of the folder whose name ends in .pck, in the order the file system lists them.
std::string findPackageFile(const std::string& folder) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (endsWithPackageSuffix(it->path().filename().string()) && it->is_regular_file(error))
            return it->path().string();
    }
    return {};
}

} // namespace

PackageImage::~PackageImage() {
    release();
}

void PackageImage::setEmbeddedLookup(EmbeddedLookup lookup) {
    embeddedLookup.store(lookup);
}

bool PackageImage::resourcePackage(const uint8_t*& data, size_t& size) {
    const auto package = platform::findResource(platform::kResourceTypeData, kPackageResourceId);
    if (!package || package->empty())
        return false;
    data = reinterpret_cast<const uint8_t*>(package->data());
    size = package->size();
    return true;
}

void PackageImage::setModuleDirectory(const std::string& folder) {
    std::lock_guard<std::mutex> guard(moduleFolder().mutex);
    moduleFolder().folder = folder;
}

std::string PackageImage::moduleDirectory() {
    {
        std::lock_guard<std::mutex> guard(moduleFolder().mutex);
        if (!moduleFolder().folder.empty())
            return moduleFolder().folder;
    }
    return platform::executableDirectory();
}

bool PackageImage::loadFile(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file)
        return false;
    if (std::fseek(file.get(), 0, SEEK_END) != 0)
        return false;
    const long fileSize = std::ftell(file.get());
    if (fileSize < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0)
        return false;
    // One byte more than the file, set to 0, so the package text is always terminated.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow)
                                          uint8_t[static_cast<size_t>(fileSize) + 1]);
    if (!buffer)
        return false;
    const size_t count = std::fread(buffer.get(), 1, static_cast<size_t>(fileSize), file.get());
    if (count != static_cast<size_t>(fileSize))
        return false;
    buffer[count] = 0;
    bytes = buffer.release();
    length = fileSize;
    notOwned = false;
    return true;
}

int32_t PackageImage::load() {
    release();
    const std::string file = findPackageFile(moduleDirectory());
    // As administrator, a package someone else could have put beside the program would flash
    // their firmware into the card.
    const std::string problem =
        !file.empty() && platform::isAdministrator() ? platform::ownFileProblem(file) : "";
    if (!problem.empty()) {
        KESTREL_WARN(packageLogger(), "Package file " << file << " ignored: " << problem
                                                      << "; using the embedded package");
    } else if (!file.empty()) {
        if (loadFile(file)) {
            KESTREL_INFO(packageLogger(), "Package file " << file << " (" << length << " bytes)");
            return kResultOk;
        }
        KESTREL_WARN(packageLogger(), "Cannot read package file " << file);
    }
    const EmbeddedLookup lookup = embeddedLookup.load();
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (lookup != nullptr && lookup(data, size) && data != nullptr) {
        bytes = data;
        length = static_cast<int64_t>(size);
        notOwned = true;
        return kResultOk;
    }
    return kResultNoPackage;
}

void PackageImage::release() {
    if (!notOwned)
        delete[] bytes;
    bytes = nullptr;
    length = -1;
    notOwned = false;
}

} // namespace Kestrel
