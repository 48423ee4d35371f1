#include "platform/sim/PowerSimulated.h"

#include "platform/MessageWindow.h"

#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace platform {
namespace {

constexpr const char* kStatusFile = "power.json";
constexpr const char* kEventsFolder = "events";
constexpr const char* kStandbyRequest = "standby";
constexpr const char* kResumeRequest = "resume";

// "standby" or "standby-anything" without a dot; a writer's temporary file ("standby.tmp") is
// not a request.
bool isRequest(const std::string& name, const char* request) {
    const size_t length = std::strlen(request);
    return name.compare(0, length, request) == 0 &&
           (name.size() == length || name[length] == '-') && name.find('.') == std::string::npos;
}

class SimulatedPowerSource : public PowerSource {
public:
    SimulatedPowerSource(std::string root, int inotifyFd, int stopFd, int rootWatch,
                         int eventsWatch)
        : root_(std::move(root)), inotifyFd_(inotifyFd), stopFd_(stopFd), rootWatch_(rootWatch),
          eventsWatch_(eventsWatch) {
        last_ = readSimulatedPowerStatus(root_, nullptr);
        thread_ = std::thread([this] { run(); });
    }

    ~SimulatedPowerSource() override {
        const uint64_t one = 1;
        if (write(stopFd_, &one, sizeof one) < 0) {
            // The eventfd cannot be full; nothing else to do.
        }
        thread_.join();
        close(inotifyFd_);
        close(stopFd_);
    }

private:
    void run() {
        alignas(inotify_event) char buffer[4096];
        pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents != 0)
                return;
            const ssize_t length = read(inotifyFd_, buffer, sizeof buffer);
            if (length <= 0)
                continue;
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (event->len == 0 || (event->mask & IN_ISDIR) != 0)
                    continue;
                const std::string name = event->name;
                if (event->wd == eventsWatch_)
                    eventFile(name);
                else if (event->wd == rootWatch_ && name == kStatusFile)
                    statusFileChanged();
            }
        }
    }

    void eventFile(const std::string& name) {
        if (isRequest(name, kStandbyRequest)) {
            publishPowerEvent(kPowerSuspend);
        } else if (isRequest(name, kResumeRequest)) {
            // Windows announces every resume automatically and then the one a user caused.
            publishPowerEvent(kPowerResumeAutomatic);
            publishPowerEvent(kPowerResumeSuspend);
        }
    }

    void statusFileChanged() {
        const PowerStatus now = readSimulatedPowerStatus(root_, nullptr);
        if (now == last_)
            return;
        last_ = now;
        publishPowerEvent(kPowerStatusChange);
    }

    std::string root_;
    int inotifyFd_;
    int stopFd_;
    int rootWatch_;
    int eventsWatch_;
    PowerStatus last_;
    std::thread thread_;
};

} // namespace

PowerStatus readSimulatedPowerStatus(const std::string& root, std::string* problem) {
    PowerStatus status;
    const std::string path = root + "/" + kStatusFile;
    std::ifstream file(path);
    if (!file)
        return status; // no file: a machine on mains without a battery
    std::stringstream content;
    content << file.rdbuf();
    const auto document = nlohmann::json::parse(content.str(), nullptr, false);
    auto fail = [&](const std::string& why) {
        if (problem != nullptr)
            *problem = path + ": " + why;
        return PowerStatus{};
    };
    if (document.is_discarded() || !document.is_object())
        return fail("not a JSON object");
    if (document.contains("acOnline")) {
        const auto& ac = document["acOnline"];
        if (!ac.is_boolean())
            return fail("\"acOnline\" is not true or false");
        status.acLineStatus = ac.get<bool>() ? kAcOnline : kAcOffline;
    }
    if (document.contains("batteryPercent")) {
        const auto& percent = document["batteryPercent"];
        if (!percent.is_number_integer() || percent.get<int64_t>() < 0 ||
            percent.get<int64_t>() > 100)
            return fail("\"batteryPercent\" is not a whole number from 0 to 100");
        status.batteryLifePercent = static_cast<uint8_t>(percent.get<int64_t>());
    }
    return status;
}

std::unique_ptr<PowerSource> startSimulatedPowerSource(const std::string& root,
                                                       std::string* problem) {
    auto fail = [&](const std::string& what) -> std::unique_ptr<PowerSource> {
        if (problem != nullptr)
            *problem = what + ": " + std::strerror(errno);
        return nullptr;
    };
    const std::string events = root + "/" + kEventsFolder;
    mkdir(events.c_str(), 0755); // the watch needs the folder; it may exist already
    const int inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotifyFd < 0)
        return fail("inotify_init1");
    constexpr uint32_t kChanges = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
    const int rootWatch = inotify_add_watch(inotifyFd, root.c_str(), kChanges);
    const int eventsWatch =
        inotify_add_watch(inotifyFd, events.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
    if (rootWatch < 0 || eventsWatch < 0) {
        auto result = fail("inotify_add_watch " + root);
        close(inotifyFd);
        return result;
    }
    const int stopFd = eventfd(0, EFD_CLOEXEC);
    if (stopFd < 0) {
        auto result = fail("eventfd");
        close(inotifyFd);
        return result;
    }
    return std::make_unique<SimulatedPowerSource>(root, inotifyFd, stopFd, rootWatch, eventsWatch);
}

} // namespace platform
