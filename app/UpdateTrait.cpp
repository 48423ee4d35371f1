#include "app/UpdateTrait.h"

#include "app/TraitLog.h"
#include "app/UpdateInfo.h"

using Kestrel::fsmLogger;

UpdateTrait::UpdateTrait() : updateInfo(new UpdateInfo()) {}

UpdateTrait::~UpdateTrait() {
    delete updateInfo;
}

int UpdateTrait::startUpdate() {
    KESTREL_DEBUG(fsmLogger(), "UpdateTrait::startUpdate()");
    return 0;
}

int UpdateTrait::progress(int code, int value) {
    KESTREL_DEBUG(fsmLogger(), "UpdateTrait::progress(" << code << ", " << value << ")");
    return 0;
}

UpdateTrait& defaultUpdateTrait() {
    static UpdateTrait trait;
    return trait;
}
