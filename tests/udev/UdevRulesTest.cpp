#include "tests/support/UdevTestbed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, separator);)
        items.push_back(item);
    return items;
}

// One line of the rules file: what it matches and what it sets.
struct Rule {
    std::map<std::string, std::string> matches; // "ATTRS{idVendor}" -> "1234"
    std::map<std::string, std::string> assigns; // "ENV{KESTREL_NAME}" -> "...", "SYMLINK"
};

std::vector<Rule> readRules() {
    std::ifstream file(KESTREL_UDEV_RULES);
    EXPECT_TRUE(file.good()) << "the build did not copy the rules file to " << KESTREL_UDEV_RULES;
    static const std::regex key(R"re(([A-Z]+(?:\{[^}]*\})?)\s*(==|!=|\+=|=)\s*"([^"]*)")re");
    std::vector<Rule> rules;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line.front() == '#')
            continue;
        Rule rule;
        for (std::sregex_iterator it(line.begin(), line.end(), key), end; it != end; ++it) {
            const std::string op = (*it)[2];
            (op == "==" || op == "!=" ? rule.matches : rule.assigns)[(*it)[1]] = (*it)[3];
        }
        rules.push_back(rule);
    }
    return rules;
}

// One USB card of the database with the names its keys match.
struct Card {
    std::string section;
    std::vector<std::pair<std::string, std::string>> ids; // vendor, product (lower case)
    std::vector<std::string> names;                       // friendly names and descriptions
    std::vector<std::string> deviceNames;                 // "OXCTRL" of \\.\OXCTRL%d
};

std::vector<Card> readUsbCards() {
    std::ifstream file(KESTREL_CARD_DATABASE);
    std::vector<std::map<std::string, std::string>> sections;
    std::vector<std::string> titles;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            titles.push_back(line.substr(1, line.find(']') - 1));
            sections.emplace_back();
            continue;
        }
        const auto equals = line.find('=');
        if (!sections.empty() && equals != std::string::npos)
            sections.back().emplace(lowered(line.substr(0, equals)), line.substr(equals + 1));
    }
    static const std::regex usbId("USB\\\\VID_([0-9A-Fa-f]{4})&PID_([0-9A-Fa-f]{4})");
    static const std::regex nameKey("(ad|ga|nt|98|me|2k|xp)?(modemname|appportname|"
                                    "app2portname|dbgportname)|wwannicname|smartcardreader");
    std::vector<Card> cards;
    for (size_t i = 0; i < sections.size(); ++i) {
        auto& keys = sections[i];
        if (keys["supported"] != "1" || keys["bustype"] != "USB")
            continue;
        Card card;
        card.section = titles[i];
        for (const auto& id : split(keys["hardwareid"], ',')) {
            std::smatch match;
            if (std::regex_match(id, match, usbId))
                card.ids.push_back({lowered(match[1]), lowered(match[2])});
        }
        for (const auto& [name, value] : keys) {
            if (!std::regex_match(name, nameKey))
                continue;
            for (const auto& item : split(value, ',')) {
                if (item.compare(0, 4, "\\\\.\\") == 0)
                    card.deviceNames.push_back(item.substr(4, item.find('%') - 4));
                else if (!item.empty())
                    card.names.push_back(item);
            }
        }
        if (!card.ids.empty())
            cards.push_back(card);
    }
    return cards;
}

bool forDevice(const Rule& rule, const std::pair<std::string, std::string>& id) {
    const auto vendor = rule.matches.find("ATTRS{idVendor}");
    const auto product = rule.matches.find("ATTRS{idProduct}");
    return vendor != rule.matches.end() && product != rule.matches.end() &&
           vendor->second == id.first && product->second == id.second;
}

std::string assigned(const Rule& rule, const std::string& key) {
    const auto found = rule.assigns.find(key);
    return found == rule.assigns.end() ? std::string() : found->second;
}

TEST(UdevRules, EveryUsbCardHasItsInterfacesWithTheNamesItsDatabaseSectionMatches) {
    const auto rules = readRules();
    const auto cards = readUsbCards();
    ASSERT_GE(cards.size(), 9u);
    for (const auto& card : cards) {
        for (const auto& id : card.ids) {
            const std::string label = card.section + " " + id.first + ":" + id.second;
            std::vector<std::string> ruleNames;
            std::vector<std::string> symlinks;
            size_t interfaces = 0;
            for (const auto& rule : rules) {
                if (!forDevice(rule, id))
                    continue;
                if (rule.matches.count("ATTR{bInterfaceNumber}") &&
                    !assigned(rule, "ENV{KESTREL_CLASS}").empty())
                    ++interfaces;
                if (!assigned(rule, "ENV{KESTREL_NAME}").empty())
                    ruleNames.push_back(assigned(rule, "ENV{KESTREL_NAME}"));
                if (!assigned(rule, "SYMLINK").empty())
                    symlinks.push_back(assigned(rule, "SYMLINK"));
            }
            EXPECT_GT(interfaces, 0u) << label << " has no interface rules";
            // Every name the database looks for is given to an interface (substring match, as
            // detection matches names), and every name given is one the database looks for.
            for (const auto& name : card.names)
                EXPECT_TRUE(std::any_of(
                    ruleNames.begin(), ruleNames.end(),
                    [&](const auto& given) { return given.find(name) != std::string::npos; }))
                    << label << ": no interface is named \"" << name << "\"";
            for (const auto& given : ruleNames)
                EXPECT_TRUE(std::any_of(
                    card.names.begin(), card.names.end(),
                    [&](const auto& name) { return given.find(name) != std::string::npos; }))
                    << label << ": \"" << given << "\" matches no name key of the section";
            for (const auto& deviceName : card.deviceNames)
                EXPECT_NE(std::find(symlinks.begin(), symlinks.end(), deviceName + "%n"),
                          symlinks.end())
                    << label << ": no /dev/" << deviceName << "N link";
        }
    }
}

// A card keeps its identity in every mode: ids in the rules that no database section knows
// would be a card that Kestrel sees but cannot detect ("No supported card detected").
TEST(UdevRules, EveryDeviceTheRulesNameIsACardOfTheDatabase) {
    std::set<std::pair<std::string, std::string>> known;
    for (const auto& card : readUsbCards())
        known.insert(card.ids.begin(), card.ids.end());
    size_t named = 0;
    for (const auto& rule : readRules()) {
        const auto vendor = rule.matches.find("ATTRS{idVendor}");
        const auto product = rule.matches.find("ATTRS{idProduct}");
        if (vendor == rule.matches.end() || product == rule.matches.end())
            continue;
        ++named;
        EXPECT_TRUE(known.count({lowered(vendor->second), lowered(product->second)}))
            << vendor->second << ":" << product->second << " is in no section of the database";
    }
    EXPECT_GE(named, 9u);
}

TEST(UdevRules, TestTreesCarryThePropertiesTheRulesSet) {
    const auto rules = readRules();
    size_t checked = 0;
    for (const char* tree : {"qt0880", "qt0880-d055", "gt300", "foreign"}) {
        std::istringstream text(udevtest::UdevTestbed::treeText(tree));
        std::string vendor;
        std::string product;
        std::string interface;
        std::map<std::string, std::string> properties;
        auto check = [&] {
            if (interface.empty())
                return;
            std::map<std::string, std::string> expected;
            for (const auto& rule : rules) {
                const auto number = rule.matches.find("ATTR{bInterfaceNumber}");
                if (forDevice(rule, {vendor, product}) && number != rule.matches.end() &&
                    number->second == interface)
                    for (const auto& [key, value] : rule.assigns)
                        if (key.compare(0, 12, "ENV{KESTREL_") == 0)
                            expected[key.substr(4, key.size() - 5)] = value;
            }
            EXPECT_EQ(properties, expected) << tree << " interface " << interface;
            ++checked;
        };
        for (std::string line; std::getline(text, line);) {
            if (line.compare(0, 3, "P: ") == 0) {
                check();
                interface.clear();
                properties.clear();
            } else if (line.compare(0, 11, "A: idVendor") == 0) {
                vendor = line.substr(12);
            } else if (line.compare(0, 12, "A: idProduct") == 0) {
                product = line.substr(13);
            } else if (line.compare(0, 19, "A: bInterfaceNumber") == 0) {
                interface = line.substr(20);
            } else if (line.compare(0, 11, "E: KESTREL_") == 0) {
                const auto equals = line.find('=');
                properties[line.substr(3, equals - 3)] = line.substr(equals + 1);
            }
        }
        check();
    }
    EXPECT_GE(checked, 12u);
}

} // namespace
