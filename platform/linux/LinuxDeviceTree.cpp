#include "platform/linux/LinuxDeviceTree.h"

#include "platform/Clock.h"
#include "platform/NativeBackend.h"
#include "platform/linux/UdevDeviceText.h"
#include "platform/linux/Win32FromErrno.h"

#include <libudev.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <vector>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";
constexpr const char* kTreeGroup = "usb";
constexpr const char* kSubsystems[] = {"usb", "tty", "net", "usbmisc"};
constexpr int kWaitWithoutLimit = -1;
constexpr int64_t kNanosecondsPerMs = 1000000;
// A wait longer than poll can be told is cut here and simply started again.
constexpr int64_t kLongestWaitMs = 60000;

// A device that went away is not found; one held by another process is denied.
constexpr ErrnoMapping kDeviceErrors[] = {
    {ENOTDIR, DeviceTree::kNotFound},
    {ENXIO, DeviceTree::kNotFound},
    {ENODEV, DeviceTree::kNotFound},
    {EBUSY, DeviceTree::kAccessDenied},
    {EWOULDBLOCK, DeviceTree::kAccessDenied},
    {EINVAL, DeviceTree::kInvalidParameter},
    {ENAMETOOLONG, DeviceTree::kInvalidParameter},
};

uint32_t errorFromErrno(int error) {
    return win32FromErrno(error, kDeviceErrors, kErrorGenFailure);
}

} // namespace

std::string devicePath(const std::string& name) {
    const std::string prefix = kDevicePrefix;
    if (name.compare(0, prefix.size(), prefix) == 0)
        return "/dev/" + name.substr(prefix.size());
    return name;
}

// A port (Exclusive) is opened for reading and writing with a non-blocking exclusive lock, so one
// held by another program gives kAccessDenied.
uint32_t probeSystemDevice(const std::string& name, OpenMode mode) {
    if (name.empty())
        return DeviceTree::kNotFound;
    const std::string path = devicePath(name);
    // Detection probes up to twenty names per pattern, most of which do not exist: those are
    // answered without an open (which umockdev's emulation, used by the tests, would also
    // count as an open device for good).
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR))
        return DeviceTree::kNotFound;
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

LinuxDeviceTree::LinuxDeviceTree() : context_(udev_new()) {
    if (!context_)
        return;
    // Receiving starts before the enumeration, so a device that comes meanwhile is not missed.
    const bool opened = monitor_.open(context_);
    tree_.reload(enumerate(), tickMs());
    setGroupSilently(kTreeGroup, tree_.group());
    // From here on the tree is the monitor thread's.
    if (opened)
        monitoring_ =
            monitor_.start([this](const std::string& action,
                                  const UdevDeviceRecord& record) { deviceEvent(action, record); },
                           [this] { eventsLost(); }, [this] { return showDue(); });
    // Without events nothing would show a card that has not settled: show it as it is.
    if (!monitoring_ && tree_.showDue(std::numeric_limits<uint64_t>::max()))
        setGroupSilently(kTreeGroup, tree_.group());
}

LinuxDeviceTree::~LinuxDeviceTree() {
    monitor_.stop();
    if (context_)
        udev_unref(context_);
}

std::string LinuxDeviceTree::nativeDescription(DevNode node) {
    // A node's id in the tree is its device's sysfs path.
    return udevDevicesText(nodeId(node));
}

std::vector<UdevDeviceRecord> LinuxDeviceTree::enumerate() {
    std::vector<UdevDeviceRecord> records;
    udev_enumerate* enumeration = udev_enumerate_new(context_);
    if (!enumeration)
        return records;
    for (const char* subsystem : kSubsystems)
        udev_enumerate_add_match_subsystem(enumeration, subsystem);
    udev_enumerate_scan_devices(enumeration);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration)) {
        udev_device* device =
            udev_device_new_from_syspath(context_, udev_list_entry_get_name(entry));
        if (!device)
            continue;
        records.push_back(readUdevDevice(device));
        udev_device_unref(device);
    }
    udev_enumerate_unref(enumeration);
    return records;
}

void LinuxDeviceTree::deviceEvent(const std::string& action, const UdevDeviceRecord& record) {
    if (tree_.take(action, record, tickMs()))
        setGroup(kTreeGroup, tree_.group());
}

void LinuxDeviceTree::eventsLost() {
    if (tree_.reload(enumerate(), tickMs()))
        setGroup(kTreeGroup, tree_.group());
}

int LinuxDeviceTree::showDue() {
    if (tree_.showDue(tickMs()))
        setGroup(kTreeGroup, tree_.group());
    const auto until = tree_.untilDue(tickMs());
    if (!until)
        return kWaitWithoutLimit;
    // Rounded up, so the wait never ends just before the bound.
    const auto real = realDuration(*until);
    return static_cast<int>(std::min<int64_t>(
        (real.count() + kNanosecondsPerMs - 1) / kNanosecondsPerMs, kLongestWaitMs));
}

} // namespace platform
