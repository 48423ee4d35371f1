#pragma once

#include "platform/Clock.h"

#include <umockdev.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <algorithm>
#include <functional>
#include <regex>
#include <sstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace udevtest {

// How a card's arrival departs from the tree's own order (interfaces by sysname, "1-1:1.4").
struct Arrival {
    // Interfaces enumerated before the others (a card whose network interface comes first).
    std::set<std::string> first;
    // Interfaces left out of the card altogether (its configuration announces the others).
    std::set<std::string> omitted;
    // Interfaces whose driver never binds.
    std::set<std::string> neverBound;
    // Interfaces whose driver binds only after the USB device's bind, `lateByMs` later
    // (logical milliseconds, as a module udev loads on demand).
    std::set<std::string> boundLate;
    uint64_t lateByMs = 0;
    // Called before each event is sent, with its number (from 0).
    std::function<void(size_t)> beforeEvent;
    // Extra udev properties of each tty ("E: NAME=value" lines), as rules would add them.
    std::string ttyProperties;
};

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
        const auto defined = definedTrees().find(name);
        std::ifstream file(std::string(KESTREL_UDEV_TREES) + "/" + name + ".umockdev");
        std::istringstream given(defined == definedTrees().end() ? "" : defined->second);
        std::istream& source =
            defined == definedTrees().end() ? static_cast<std::istream&>(file) : given;
        std::string text;
        for (std::string line; std::getline(source, line);)
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

    // A tree's text with `properties` ("E: NAME=value" lines) added to each of its ttys.
    static std::string withTtyProperties(std::string text, const std::string& properties) {
        const std::string tty = "E: SUBSYSTEM=tty\n";
        if (properties.empty())
            return text;
        for (size_t at = 0; (at = text.find(tty, at)) != std::string::npos;) {
            at += tty.size();
            text.insert(at, properties);
            at += properties.size();
        }
        return text;
    }

    // Makes a tree given as text (a recording's) known under a name of its own, as if it were
    // one of the tree files.
    static void defineTree(const std::string& name, const std::string& text) {
        definedTrees()[name] = text;
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

    // Plugs a tree in as a kernel announces it: the USB device ("add"), then for each
    // interface in turn the interface ("add"), what its driver creates below it ("add") and the
    // interface's "bind"; the USB device's own "bind" comes last. `arrival` varies the order.
    void plug(const std::string& name, int renumber = 0, const Arrival& arrival = {}) {
        beforeEvent_ = arrival.beforeEvent;
        sentInPlug_ = 0;
        Card card =
            parse(withTtyProperties(treeText(name, renumber), arrival.ttyProperties), arrival);
        ASSERT_FALSE(card.device.path.empty()) << name;
        add(card.device);
        std::vector<const Function*> late;
        for (const Function& function : card.functions) {
            add(function.interface);
            const std::string sysname = sysnameOf(function.interface.path);
            if (arrival.neverBound.count(sysname))
                continue;
            if (arrival.boundLate.count(sysname)) {
                late.push_back(&function);
                continue;
            }
            bindFunction(function);
        }
        bind(card.device);
        if (!late.empty())
            std::this_thread::sleep_for(platform::realDuration(arrival.lateByMs));
        for (const Function* function : late)
            bindFunction(*function);
        beforeEvent_ = nullptr;
    }

    // Pulls a tree out as a kernel takes it away: for each interface, last first, what its
    // driver created ("remove"), the interface's "unbind" and "remove"; then the USB device's
    // "unbind" and "remove".
    void unplug(const std::string& name, int renumber = 0) {
        const Card card = parse(treeText(name, renumber), {});
        for (auto function = card.functions.rbegin(); function != card.functions.rend();
             ++function) {
            for (auto child = function->children.rbegin(); child != function->children.rend();
                 ++child)
                if (present(child->path))
                    uevent(child->path, "remove");
            if (bound_.erase(function->interface.path))
                uevent(function->interface.path, "unbind");
            uevent(function->interface.path, "remove");
        }
        if (bound_.erase(card.device.path))
            uevent(card.device.path, "unbind");
        uevent(card.device.path, "remove");
        const auto paths = devicesOf(name, renumber);
        for (auto it = paths.rbegin(); it != paths.rend(); ++it)
            if (present(*it))
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
    struct Stanza {
        std::string path; // "/sys/devices/..."
        std::string text; // without the driver lines of a USB device or interface
        std::string driver;
        std::string driverLink;
    };
    struct Function {
        Stanza interface;
        std::vector<Stanza> children;
    };
    struct Card {
        Stanza device;
        std::vector<Function> functions;
    };

    static std::map<std::string, std::string>& definedTrees() {
        static std::map<std::string, std::string> trees;
        return trees;
    }

    static std::string sysnameOf(const std::string& path) {
        return path.substr(path.rfind('/') + 1);
    }

    static bool hasLine(const std::string& text, const std::string& line) {
        return text.find("\n" + line + "\n") != std::string::npos;
    }

    // Splits a tree into its USB device and its interfaces with what lies below each, in the
    // order `arrival` gives; the driver lines of the device and the interfaces are kept apart
    // for their "bind".
    static Card parse(const std::string& text, const Arrival& arrival) {
        Card card;
        for (size_t start = text.find("P: "); start != std::string::npos;) {
            const size_t next = text.find("\nP: ", start);
            Stanza stanza;
            const std::string raw = text.substr(
                start, next == std::string::npos ? std::string::npos : next + 1 - start);
            std::istringstream lines(raw);
            for (std::string line; std::getline(lines, line);) {
                if (line.compare(0, 3, "P: ") == 0)
                    stanza.path = "/sys" + line.substr(3);
                if (line.compare(0, 10, "E: DRIVER=") == 0)
                    stanza.driver = line.substr(10);
                else if (line.compare(0, 10, "L: driver=") == 0)
                    stanza.driverLink = line.substr(10);
                else if (!line.empty())
                    stanza.text += line + "\n";
            }
            start = next == std::string::npos ? next : next + 1;
            if (hasLine("\n" + stanza.text, "E: DEVTYPE=usb_device")) {
                card.device = stanza;
            } else if (hasLine("\n" + stanza.text, "E: DEVTYPE=usb_interface")) {
                card.functions.push_back({stanza, {}});
            } else if (!card.functions.empty()) {
                stanza.text = raw;
                card.functions.back().children.push_back(stanza);
            }
        }
        card.functions.erase(std::remove_if(card.functions.begin(), card.functions.end(),
                                            [&](const Function& function) {
                                                return arrival.omitted.count(
                                                    sysnameOf(function.interface.path));
                                            }),
                             card.functions.end());
        if (!arrival.omitted.empty()) {
            const std::regex count("A: bNumInterfaces= *[0-9]+");
            card.device.text =
                std::regex_replace(card.device.text, count,
                                   "A: bNumInterfaces= " + std::to_string(card.functions.size()));
        }
        std::stable_partition(card.functions.begin(), card.functions.end(),
                              [&](const Function& function) {
                                  return arrival.first.count(sysnameOf(function.interface.path));
                              });
        return card;
    }

    bool present(const std::string& path) {
        gchar* sys = umockdev_testbed_get_sys_dir(testbed_);
        const std::string folder = std::string(sys) + path.substr(4);
        g_free(sys);
        return g_file_test(folder.c_str(), G_FILE_TEST_IS_DIR);
    }

    void announce() {
        if (beforeEvent_)
            beforeEvent_(sentInPlug_);
        ++sentInPlug_;
    }

    void add(const Stanza& stanza) {
        announce();
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, stanza.text.c_str(), &error))
            << stanza.path << ": " << (error ? error->message : "");
        if (pacing_)
            pacing_();
    }

    void bind(const Stanza& stanza) {
        if (stanza.driver.empty())
            return;
        umockdev_testbed_set_attribute_link(testbed_, stanza.path.c_str(), "driver",
                                            stanza.driverLink.c_str());
        umockdev_testbed_set_property(testbed_, stanza.path.c_str(), "DRIVER",
                                      stanza.driver.c_str());
        bound_.insert(stanza.path);
        announce();
        uevent(stanza.path, "bind");
    }

    void bindFunction(const Function& function) {
        for (const Stanza& child : function.children)
            add(child);
        bind(function.interface);
    }

    UMockdevTestbed* testbed_;
    std::function<void()> pacing_;
    std::set<std::string> bound_;
    std::function<void(size_t)> beforeEvent_;
    size_t sentInPlug_ = 0;
};

} // namespace udevtest
