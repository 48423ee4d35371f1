#pragma once

#include <umockdev.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace udevtest {

// A umockdev testbed: an emulated /sys and /dev for this process (which runs under
// umockdev-wrapper), filled from the device trees of tests/udev/trees and changed with the
// uevents a real kernel and udev would send. Created before anything looks at /sys.
class UdevTestbed {
public:
    UdevTestbed() : testbed_(umockdev_testbed_new()) {}
    ~UdevTestbed() { g_object_unref(testbed_); }
    UdevTestbed(const UdevTestbed&) = delete;
    UdevTestbed& operator=(const UdevTestbed&) = delete;

    // A tree's text without its comment lines, which umockdev does not read. `renumber` is
    // added to the numbers of its ttys and network devices: umockdev cannot create a device
    // node twice in one testbed, so a card that comes back gets new ones.
    static std::string treeText(const std::string& name, int renumber = 0) {
        std::ifstream file(std::string(KESTREL_UDEV_TREES) + "/" + name + ".umockdev");
        std::string text;
        for (std::string line; std::getline(file, line);)
            if (line.empty() || line.front() != '#')
                text += line + "\n";
        static const std::regex numbered("(ttyUSB|ttyACM|cdc-wdm|wwan)([0-9]+)");
        std::string renumbered;
        auto last = text.cbegin();
        for (std::sregex_iterator it(text.begin(), text.end(), numbered), end; it != end; ++it) {
            renumbered.append(last, (*it)[0].first);
            renumbered += (*it)[1].str() + std::to_string(std::stoi((*it)[2].str()) + renumber);
            last = (*it)[0].second;
        }
        renumbered.append(last, text.cend());
        return renumbered;
    }

    // The sysfs paths of a tree's devices, parents first as the file lists them.
    static std::vector<std::string> devicesOf(const std::string& name, int renumber = 0) {
        std::vector<std::string> paths;
        std::istringstream lines(treeText(name, renumber));
        for (std::string line; std::getline(lines, line);)
            if (line.compare(0, 3, "P: ") == 0)
                paths.push_back("/sys" + line.substr(3));
        return paths;
    }

    // Puts a tree into sysfs before the tree under test is there to hear of it.
    void load(const std::string& name) {
        GError* error = nullptr;
        const bool added =
            umockdev_testbed_add_from_string(testbed_, treeText(name).c_str(), &error);
        ASSERT_TRUE(added) << name << ": " << (error ? error->message : "");
    }

    // Called after each event sent, to let the reader catch up (umockdev ends the program
    // when its event socket's short queue is full).
    void setPacing(std::function<void()> pacing) { pacing_ = std::move(pacing); }

    // Plugs a tree in, one device after the other, parents first: umockdev sends the "add"
    // event of each device it adds.
    void plug(const std::string& name, int renumber = 0) {
        const std::string text = treeText(name, renumber);
        for (size_t start = text.find("P: "); start != std::string::npos;) {
            const size_t next = text.find("\nP: ", start);
            const std::string stanza = text.substr(
                start, next == std::string::npos ? std::string::npos : next + 1 - start);
            GError* error = nullptr;
            ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, stanza.c_str(), &error))
                << name << ": " << (error ? error->message : "");
            if (pacing_)
                pacing_();
            start = next == std::string::npos ? next : next + 1;
        }
    }

    // Pulls a tree out: "remove" events children first, then the devices go. (umockdev's own
    // removal sends no event.)
    void unplug(const std::string& name, int renumber = 0) {
        const auto paths = devicesOf(name, renumber);
        for (auto it = paths.rbegin(); it != paths.rend(); ++it)
            uevent(*it, "remove");
        for (auto it = paths.rbegin(); it != paths.rend(); ++it)
            umockdev_testbed_remove_device(testbed_, it->c_str());
        // umockdev leaves the emulated device nodes behind, which a replug would trip over.
        gchar* root = umockdev_testbed_get_root_dir(testbed_);
        std::istringstream lines(treeText(name, renumber));
        for (std::string line; std::getline(lines, line);)
            if (line.compare(0, 3, "N: ") == 0)
                std::remove((std::string(root) + "/dev/" + line.substr(3)).c_str());
        g_free(root);
    }

    void uevent(const std::string& path, const std::string& action) {
        umockdev_testbed_uevent(testbed_, path.c_str(), action.c_str());
        if (pacing_)
            pacing_();
    }

    // The master side of an emulated tty ("/dev/ttyUSB2"), owned by the testbed.
    int terminal(const std::string& device) {
        return umockdev_testbed_get_dev_fd(testbed_, device.c_str());
    }

    // Writes a file below the emulated /sys ("module/qmi_wwan/version").
    void writeSysFile(const std::string& relative, const std::string& content) {
        gchar* sys = umockdev_testbed_get_sys_dir(testbed_);
        const std::string path = std::string(sys) + "/" + relative;
        g_free(sys);
        g_mkdir_with_parents(path.substr(0, path.rfind('/')).c_str(), 0755);
        std::ofstream(path) << content;
    }

    UMockdevTestbed* get() { return testbed_; }

private:
    UMockdevTestbed* testbed_;
    std::function<void()> pacing_;
};

} // namespace udevtest
