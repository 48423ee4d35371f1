#include "platform/SerialObserver.h"

#include <atomic>

namespace platform {
namespace {

std::atomic<SerialObserver*> installedObserver{nullptr};

} // namespace

void setSerialObserver(SerialObserver* observer) {
    installedObserver.store(observer);
}

SerialObserver* serialObserver() {
    return installedObserver.load();
}

SerialTransferReport::~SerialTransferReport() {
    SerialObserver* observer = serialObserver();
    if (observer == nullptr || transferred == 0 || buffer == nullptr)
        return;
    if (direction == Direction::write)
        observer->wrote(handle, buffer, transferred);
    else
        observer->received(handle, buffer, transferred);
}

} // namespace platform
