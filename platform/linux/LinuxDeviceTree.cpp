#include "platform/linux/LinuxDeviceTree.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";
constexpr uint32_t kGeneralFailure = 31;

uint32_t errorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
        return DeviceTree::kNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return DeviceTree::kAccessDenied;
    case EINVAL:
    case ENAMETOOLONG:
        return DeviceTree::kInvalidParameter;
    default:
        return kGeneralFailure;
    }
}

} // namespace

std::string devicePath(const std::string& name) {
    const std::string prefix = kDevicePrefix;
    if (name.compare(0, prefix.size(), prefix) == 0)
        return "/dev/" + name.substr(prefix.size());
    return name;
}

uint32_t probeSystemDevice(const std::string& name, OpenMode mode) {
    if (name.empty())
        return DeviceTree::kNotFound;
    const std::string path = devicePath(name);
    const int flags = mode == OpenMode::Exclusive ? O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC
                                                  : O_PATH | O_CLOEXEC;
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0)
        return errorFromErrno(errno);
    uint32_t result = 0;
    if (mode == OpenMode::Exclusive && ::flock(fd, LOCK_EX | LOCK_NB) != 0)
        result = errorFromErrno(errno);
    ::close(fd);
    return result;
}

uint32_t LinuxDeviceTree::devicesOfClass(const std::string&, std::vector<DevNode>& nodes) {
    nodes.clear();
    return 0;
}

uint32_t LinuxDeviceTree::devicesOfEnumerator(const std::string&, std::vector<DevNode>& nodes) {
    nodes.clear();
    return 0;
}

uint32_t LinuxDeviceTree::parent(DevNode, DevNode&) {
    return kNoSuchDevNode;
}

uint32_t LinuxDeviceTree::children(DevNode, std::vector<DevNode>& childNodes) {
    childNodes.clear();
    return kNoSuchDevNode;
}

uint32_t LinuxDeviceTree::instanceId(DevNode, std::string&) {
    return kNoSuchDevNode;
}

uint32_t LinuxDeviceTree::hardwareIds(DevNode, std::vector<std::string>&) {
    return kNoSuchDevNode;
}

uint32_t LinuxDeviceTree::textProperty(DevNode, TextProperty, std::string&) {
    return kNoSuchDevNode;
}

uint32_t LinuxDeviceTree::status(DevNode, uint32_t&, uint32_t&) {
    return kNoSuchDevNode;
}

uint32_t LinuxDeviceTree::registryValue(DevNode, RegistryKey, const std::string&, std::string&) {
    return kInvalidHandle;
}

uint32_t LinuxDeviceTree::enumClassGuid(const std::string&, std::string&) {
    return kNotFound;
}

uint32_t LinuxDeviceTree::driverVersion(const std::string&, uint64_t&) {
    return kNotFound;
}

uint32_t LinuxDeviceTree::probeDevice(const std::string& name, OpenMode mode) {
    return probeSystemDevice(name, mode);
}

uint32_t LinuxDeviceTree::controlDevice(const std::string& name, uint32_t, void*, size_t,
                                        size_t& returned) {
    returned = 0;
    const uint32_t opened = probeSystemDevice(name, OpenMode::Query);
    // No driver of the system answers the maker's requests.
    return opened != 0 ? opened : kInvalidFunction;
}

uint64_t LinuxDeviceTree::subscribe(const NotificationFilter&, DeviceTreeListener) {
    // Nothing ever changes in an empty tree; the id only has to be unique.
    static std::atomic<uint64_t> nextId{1};
    return nextId++;
}

void LinuxDeviceTree::unsubscribe(uint64_t) {}

} // namespace platform
