#include "platform/sim/PowerSimulated.h"

#include "platform/MessageWindow.h"
#include "platform/SystemPaths.h"
#include "platform/FolderWatcher.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <sstream>

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

// Index of each watched folder in the watcher.
constexpr size_t kRootFolder = 0;
constexpr size_t kEventsFolderIndex = 1;

class SimulatedPowerSource : public PowerSource {
public:
    explicit SimulatedPowerSource(std::string root) : root_(std::move(root)) {
        last_ = readSimulatedPowerStatus(root_, nullptr);
    }

    ~SimulatedPowerSource() override { watcher_.stop(); }

    // Watches DIR for the status file and DIR/events for requests; false with `problem` set
    // when the watches cannot be set up.
    bool start(std::string* problem) {
        const std::string events = root_ + "/" + kEventsFolder;
        createFolders(events); // the watch needs the folder; it may exist already
        constexpr uint32_t kChanges = FolderWatcher::kWritten | FolderWatcher::kMovedIn |
                                      FolderWatcher::kMovedOut | FolderWatcher::kDeleted;
        constexpr uint32_t kRequests = FolderWatcher::kWritten | FolderWatcher::kMovedIn;
        return watcher_.watch({{root_, kChanges}, {events, kRequests}}, problem) &&
               watcher_.start([this](const FolderWatcher::Batch& batch) { filesChanged(batch); },
                              {}, problem);
    }

private:
    void filesChanged(const FolderWatcher::Batch& batch) {
        // After an overflow the status file's change may be among the lost events.
        if (batch.overflow)
            statusFileChanged();
        for (const auto& change : batch.changes) {
            if (change.directory)
                continue;
            if (change.folder == kEventsFolderIndex)
                eventFile(change.name);
            else if (change.folder == kRootFolder && change.name == kStatusFile)
                statusFileChanged();
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
    PowerStatus last_;
    FolderWatcher watcher_;
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
    auto source = std::make_unique<SimulatedPowerSource>(root);
    if (!source->start(problem))
        return nullptr;
    return source;
}

} // namespace platform
