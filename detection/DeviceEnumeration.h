#pragma once

#include "detection/CardDatabase.h"

#include <cstdint>
#include <string>
#include <vector>

// The device-enumeration primitives of detection: matching names and hardware ids against the
// card database, the activity of device nodes, the walk of the tree below the card, and the
// enumerators that find a modem, port, network adapter or smart card reader below the card.
namespace detection {

// Whether one of the comma-separated items of `list` (each cut to 64 units) occurs in `name`,
// case-sensitively. Empty items and a missing list match nothing.
bool NameListMatches(const OptionalText& list, const std::string& name);

// Whether an item of the record's comma-separated `recordIds` equals (or, with `prefix`, begins)
// one of `deviceIds`, without regard to case. Empty items never match.
bool HardwareIdsMatch(const std::u16string& recordIds, const std::vector<std::string>& deviceIds,
                      bool prefix);

bool IsDeviceNodeActive(uint32_t node, bool allowReenumeration);

// Whether `node` is the card's node or the card's node is its parent, grandparent or
// great-grandparent.
bool IsBelowCard(uint32_t node, uint32_t cardNode);

// Depth-first over the whole subtree below `node`: whether an id contains `text`.
bool HasDescendantWithId(uint32_t node, const std::string& text, bool reportNoChildren);

// The first direct child whose id contains one of the texts decides: 1, 2 or 3 for the first
// text (in list order) its id contains; 0 when no child matches.
int FindChildWithIds(uint32_t node, const std::string& first, const std::string& second,
                     const std::string& third);

// The "ClassGUID" of the Enum key of the first descendant whose id contains `text`: 0, 87 for
// no text, 2 when no descendant matches, otherwise the registry error.
uint32_t QueryChildClassGuid(uint32_t node, const std::string& text, std::string& classGuid);

// Whether the node has children and every direct child is active.
bool AreAllChildrenActive(uint32_t node);

// A device an enumerator found.
struct FoundDevice {
    uint32_t node = 0;
    std::string name;
    std::string portName;         // "\\.\" + "PortName"
    std::string netCfgInstanceId; // network adapters
};

// Each searches its setup class for the first present device whose name matches, that is
// active and lies below the card.
bool HaveModem(const OptionalText& names, uint32_t cardNode, bool wantPort, FoundDevice& found);
bool HavePort(const OptionalText& names, uint32_t cardNode, FoundDevice& found);
bool HaveNetAdapter(const OptionalText& names, uint32_t cardNode, FoundDevice& found);
bool HaveSmartCardReader(const OptionalText& names, uint32_t cardNode, bool checkState,
                         FoundDevice& found);

// The comma-separated items of a list.
std::vector<std::u16string> splitList(const std::u16string& list);

} // namespace detection
