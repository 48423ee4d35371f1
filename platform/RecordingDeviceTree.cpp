#include "platform/RecordingDeviceTree.h"

#include "platform/SessionRecorder.h"

namespace platform {

RecordingDeviceTree::RecordingDeviceTree(std::shared_ptr<DeviceTree> inner,
                                         SessionRecorder& recorder)
    : inner_(std::move(inner)), recorder_(&recorder) {
    listenFor({});
}

RecordingDeviceTree::~RecordingDeviceTree() {
    detach();
}

void RecordingDeviceTree::detach() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (recorderSubscription_ != 0)
            inner_->unsubscribe(recorderSubscription_);
        recorderSubscription_ = 0;
    }
    std::lock_guard<std::mutex> guard(recorderMutex_);
    recorder_ = nullptr;
}

uint32_t RecordingDeviceTree::devicesOfClass(const std::string& classGuid,
                                             std::vector<DevNode>& nodes) {
    return inner_->devicesOfClass(classGuid, nodes);
}

uint32_t RecordingDeviceTree::devicesOfEnumerator(const std::string& enumerator,
                                                  std::vector<DevNode>& nodes) {
    return inner_->devicesOfEnumerator(enumerator, nodes);
}

uint32_t RecordingDeviceTree::parent(DevNode node, DevNode& parentNode) {
    return inner_->parent(node, parentNode);
}

uint32_t RecordingDeviceTree::children(DevNode node, std::vector<DevNode>& childNodes) {
    return inner_->children(node, childNodes);
}

uint32_t RecordingDeviceTree::instanceId(DevNode node, std::string& id) {
    return inner_->instanceId(node, id);
}

uint32_t RecordingDeviceTree::hardwareIds(DevNode node, std::vector<std::string>& ids) {
    return inner_->hardwareIds(node, ids);
}

uint32_t RecordingDeviceTree::textProperty(DevNode node, TextProperty property,
                                           std::string& value) {
    return inner_->textProperty(node, property, value);
}

uint32_t RecordingDeviceTree::status(DevNode node, uint32_t& statusBits, uint32_t& problem) {
    return inner_->status(node, statusBits, problem);
}

uint32_t RecordingDeviceTree::registryValue(DevNode node, RegistryKey key, const std::string& name,
                                            std::string& value) {
    {
        std::lock_guard<std::mutex> guard(recorderMutex_);
        if (recorder_ != nullptr)
            recorder_->registryValueAsked(name);
    }
    return inner_->registryValue(node, key, name, value);
}

uint32_t RecordingDeviceTree::enumClassGuid(const std::string& instanceId, std::string& classGuid) {
    return inner_->enumClassGuid(instanceId, classGuid);
}

uint32_t RecordingDeviceTree::driverVersion(const std::string& instanceId, uint64_t& version) {
    return inner_->driverVersion(instanceId, version);
}

uint32_t RecordingDeviceTree::probeDevice(const std::string& name, OpenMode mode) {
    const uint32_t result = inner_->probeDevice(name, mode);
    std::lock_guard<std::mutex> guard(recorderMutex_);
    if (recorder_ != nullptr)
        recorder_->deviceNameProbed(name, result);
    return result;
}

uint32_t RecordingDeviceTree::controlDevice(const std::string& name, uint32_t code, void* output,
                                            size_t outputSize, size_t& returned) {
    const uint32_t result = inner_->controlDevice(name, code, output, outputSize, returned);
    if (result == 0 && code == kRequestAdapterId && output != nullptr) {
        // The answer is UTF-16 text, possibly ended by a zero.
        std::u16string id;
        const auto* units = static_cast<const char16_t*>(output);
        for (size_t index = 0; index < returned / sizeof(char16_t) && units[index] != 0; ++index)
            id.push_back(units[index]);
        std::lock_guard<std::mutex> guard(recorderMutex_);
        if (recorder_ != nullptr)
            recorder_->adapterIdAnswered(name, id);
    }
    return result;
}

uint64_t RecordingDeviceTree::subscribe(const NotificationFilter& filter,
                                        DeviceTreeListener listener) {
    const uint64_t id = inner_->subscribe(filter, std::move(listener));
    bool attached = false;
    {
        std::lock_guard<std::mutex> guard(recorderMutex_);
        attached = recorder_ != nullptr;
    }
    if (attached)
        listenFor(filter.interfaceClasses);
    return id;
}

void RecordingDeviceTree::unsubscribe(uint64_t id) {
    inner_->unsubscribe(id);
}

std::string RecordingDeviceTree::nativeDescription(DevNode node) {
    return inner_->nativeDescription(node);
}

void RecordingDeviceTree::listenFor(const std::vector<std::string>& classes) {
    std::lock_guard<std::mutex> guard(mutex_);
    const size_t known = classes_.size();
    classes_.insert(classes.begin(), classes.end());
    if (recorderSubscription_ != 0 && classes_.size() == known)
        return;
    // The new subscription starts before the old one ends, so no change is missed between.
    NotificationFilter filter;
    filter.interfaceClasses.assign(classes_.begin(), classes_.end());
    const uint64_t previous = recorderSubscription_;
    recorderSubscription_ = inner_->subscribe(filter, [this](const DeviceTreeChange& change) {
        std::lock_guard<std::mutex> guard(recorderMutex_);
        if (recorder_ != nullptr)
            recorder_->treeChanged(change, *inner_);
    });
    if (previous != 0)
        inner_->unsubscribe(previous);
}

} // namespace platform
