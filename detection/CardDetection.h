#pragma once

#include <cstdint>
#include <string>

// Finding a supported card among the present devices and filling the current-card record.
namespace detection {

// A card HaveCard found: the index of its database record, its first hardware id, its device
// node and its symbolic name.
struct FoundCard {
    int cardIndex = -1;
    std::string hardwareId;
    uint32_t devNode = 0;
    std::string symbolicName;
    bool hasSymbolicName = false;
};

// The first present device of the bus (kBusPcmcia, kBusUsb, kBusPci) that a supported record
// of that bus matches; the first matching record wins.
bool HaveCard(uint32_t bus, FoundCard& found);

// HaveCard on every bus; the lowest record index wins, the earlier bus on a tie.
bool FindCard(FoundCard& found);

// 1 when a supported card was found and the current-card record filled, 0 otherwise.
int DetectAnyCard();

// Whether the card's functions have appeared below it, as far as its model needs them.
bool AreSubdevicesReady(uint32_t cardNode, uint32_t model);

} // namespace detection
