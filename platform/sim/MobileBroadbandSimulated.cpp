#include "platform/sim/MobileBroadbandSimulated.h"

#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace platform {
namespace {

constexpr const char* kDevicesFolder = "/devices";
constexpr const char* kDeviceFileSuffix = ".json";
// The device tree reads no bigger device file either.
constexpr uintmax_t kMaxDeviceFileSize = 16 * 1024 * 1024;

bool isDeviceFile(const std::string& name) {
    const std::string suffix = kDeviceFileSuffix;
    return !name.empty() && name[0] != '.' && name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool sameId(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool listed(const std::vector<std::string>& ids, const std::string& id) {
    return std::any_of(ids.begin(), ids.end(), [&](const std::string& x) { return sameId(x, id); });
}

class SimulatedWatch : public MobileBroadbandWatch {
public:
    SimulatedWatch(std::string root, MobileBroadbandListener listener)
        : root_(std::move(root)), listener_(std::move(listener)) {
        const std::string folder = root_ + kDevicesFolder;
        mkdir(folder.c_str(), 0755); // the watch needs the folder; it may exist already
        inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        stop_ = eventfd(0, EFD_CLOEXEC);
        if (inotify_ >= 0 &&
            inotify_add_watch(inotify_, folder.c_str(),
                              IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE) < 0) {
            close(inotify_);
            inotify_ = -1;
        }
        known_ = simulatedMobileBroadbandInterfaces(root_);
        if (inotify_ >= 0 && stop_ >= 0)
            thread_ = std::thread([this] { run(); });
    }

    ~SimulatedWatch() override {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            if (write(stop_, &one, sizeof one) < 0) {
                // An eventfd counter cannot overflow here.
            }
            thread_.join();
        }
        if (inotify_ >= 0)
            close(inotify_);
        if (stop_ >= 0)
            close(stop_);
    }

private:
    void run() {
        alignas(inotify_event) char buffer[4096];
        pollfd fds[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents != 0)
                return;
            bool relevant = false;
            ssize_t length;
            while ((length = read(inotify_, buffer, sizeof buffer)) > 0) {
                for (ssize_t offset = 0; offset < length;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                    offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                    if ((event->mask & IN_Q_OVERFLOW) != 0 ||
                        (event->len > 0 && isDeviceFile(event->name)))
                        relevant = true;
                }
            }
            if (relevant)
                refresh();
        }
    }

    void refresh() {
        const auto now = simulatedMobileBroadbandInterfaces(root_);
        for (const auto& id : known_)
            if (!listed(now, id))
                listener_(MobileBroadbandEvent::Removal, id);
        for (const auto& id : now)
            if (!listed(known_, id))
                listener_(MobileBroadbandEvent::Arrival, id);
        known_ = now;
    }

    std::string root_;
    MobileBroadbandListener listener_;
    int inotify_ = -1;
    int stop_ = -1;
    std::vector<std::string> known_;
    std::thread thread_;
};

} // namespace

bool parseMobileBroadbandInterfaces(const std::string& text, std::vector<std::string>& ids) {
    ids.clear();
    const auto document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return false;
    const auto found = document.find("mbInterfaces");
    if (found == document.end() || found->is_null())
        return true;
    if (!found->is_array())
        return false;
    for (const auto& entry : *found)
        if (entry.is_string() && !entry.get<std::string>().empty())
            ids.push_back(entry.get<std::string>());
    return true;
}

std::vector<std::string> simulatedMobileBroadbandInterfaces(const std::string& root) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root + kDevicesFolder, error)) {
        const std::string name = entry.path().filename().string();
        if (isDeviceFile(name) && entry.is_regular_file(error))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> ids;
    for (const auto& name : names) {
        const std::string path = root + kDevicesFolder + "/" + name;
        if (std::filesystem::file_size(path, error) > kMaxDeviceFileSize || error)
            continue;
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        std::vector<std::string> found;
        if (!parseMobileBroadbandInterfaces(text.str(), found))
            continue;
        for (const auto& id : found)
            if (!listed(ids, id))
                ids.push_back(id);
    }
    return ids;
}

std::unique_ptr<MobileBroadbandWatch>
watchSimulatedMobileBroadband(const std::string& root, MobileBroadbandListener listener) {
    return std::make_unique<SimulatedWatch>(root, std::move(listener));
}

} // namespace platform
