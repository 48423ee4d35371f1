#include "app/PackageInfo.h"

#include "app/ErrorCodes.h"
#include "app/PackageImage.h"
#include "app/TraitLog.h"
#include "app/util/Log.h"

#include <cstring>
#include <iomanip>

namespace Kestrel {
namespace {

constexpr uint32_t kMissingTimeStamp = 0x10010008;

const log4cplus::Logger& packageLogger() {
    static const log4cplus::Logger logger = Log::logger("kestrel.app.info.package");
    return logger;
}

} // namespace

int32_t PackageInfo::information(int32_t model, int32_t kind, const PackageImage& image,
                                 FfInfoRecord& record) {
    if (image.data() == nullptr || image.size() < 0)
        return -1;
    const std::wstring modelText = flasherModel(model);
    const uint32_t result = FfGetInfoPck(modelText.c_str(), kind, image.data(),
                                         static_cast<uint32_t>(image.size()), &record);
    if (result != kFfOk)
        KESTREL_ERROR(packageLogger(),
                      "FfGetInfoPck() returned $" << std::hex << std::uppercase << result);
    return static_cast<int32_t>(result);
}

int32_t PackageInfo::read(const std::wstring& path, int32_t model, PackageInfoData& target) {
    KESTREL_INFO(packageLogger(), "Get package info from " << narrowForLog(path.c_str()));
    FfInfoRecord record;
    std::memset(&record, 0, sizeof record);
    PackageImage image;
    const int32_t loaded = image.load();
    if (loaded != kResultOk)
        return loaded;
    target.path = path;

    KESTREL_DEBUG(packageLogger(), "Read firmware version from package");
    int32_t result = information(model, kFfInfoFirmware, image, record);
    if (static_cast<uint32_t>(result) == kFfNoPackageFirmwareInfo) {
        KESTREL_DEBUG(packageLogger(), "No firmware found, ignore error");
        target.firmware.valid = false;
    } else {
        target.firmware.fillFirmware(record);
        if (result != 0)
            return result;
    }

    KESTREL_DEBUG(packageLogger(), "Read software version from package");
    std::memset(&record, 0, sizeof record);
    result = information(model, kFfInfoSoftware, image, record);
    if (static_cast<uint32_t>(result) == kFfNoPackageSoftwareInfo) {
        KESTREL_DEBUG(packageLogger(), "No software found, ignore error");
        target.software.valid = false;
        result = 0;
    } else {
        if (static_cast<uint32_t>(result) == kMissingTimeStamp) {
            KESTREL_DEBUG(packageLogger(), "Ignore error indicating missing timestamp");
            result = 0;
        }
        target.software.fillSoftware(record);
    }
    return result;
}

} // namespace Kestrel
