#include "flasher/Ff.h"
#include "flasher/Library.h"

using namespace flasher;

FfResult FfInitialise(int32_t level, FfLogSink sink, uint32_t context) {
    Library& object = library();
    object.setLogger(level, sink, context);
    object.log(kLevelInformation, "FfInitialise");
    sharedLogger().setLogger(level, sink, context);
    object.packageReaderSink = sink;
    object.cancelled = false;
    return kFfOk;
}

FfResult FfCancel() {
    Library& object = library();
    object.cancelled = true;
    return kFfOk;
}

FfResult FfShutdown() {
    Library& object = library();
    object.log(kLevelInformation, "FfShutdown");
    object.progressCallback = nullptr;
    object.progressContext = nullptr;
    object.share = 0;
    object.downloadWeight = 0;
    object.programmingWeight = 0;
    object.state = kStateIdle;
    object.imageTotal = 0;
    object.imageList.clear();
    object.imageCursor = 0;
    return kFfOk;
}

FfResult FfGetStatus(const wchar_t*, const wchar_t*, const wchar_t*, int32_t* status) {
    if (status != nullptr)
        *status = 0;
    return kFfOk;
}
