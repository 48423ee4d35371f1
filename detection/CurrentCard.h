#pragma once

#include "detection/Nw.h"

#include <cstdint>

// The library's one current-card record: the public NwCardInfo that clients copy, and the
// private part that detection keeps about the card.
namespace detection {

// The detection method of each port kind and, for the event-based methods, the mask of
// detection events that trigger it. 0 switches detection of that kind off.
struct DetectionMethods {
    uint32_t modem = 0;
    uint32_t modemMask = 0;
    uint32_t appPort = 0;
    uint32_t appPortMask = 0;
    uint32_t app2Port = 0;
    uint32_t app2PortMask = 0;
    uint32_t dbgPort = 0;
    uint32_t dbgPortMask = 0;
};

struct CurrentCard {
    NwCardInfo info;
    int cardIndex = -1;
    uint32_t modemNode = 0;
    uint32_t appPortNode = 0;
    uint32_t app2PortNode = 0;
    uint32_t dbgPortNode = 0;
    uint32_t wwanNicNode = 0;
    uint32_t smartCardReaderNode = 0;
    bool finalPortOpened = false;
    char16_t hardwareId[NW_TEXT_LENGTH];
    char16_t symbolicName[NW_TEXT_LENGTH];
    bool slowWakeup = false;
    bool subdevicesScanned = false;
    bool subdevicesReady = false;
    bool fakeRemovalDone = false;
    DetectionMethods methods;

    // These outlive a card (standby handling) and survive ResetCardInfo.
    uint32_t replugDevNode = 0;
    bool wakingUp = false;
};

// The record. It is only touched on the library's notification thread.
CurrentCard& currentCard();

// Clears the record except the fields that outlive a card: state stopped, no card index,
// empty texts, every flag, node and detection method 0.
void ResetCardInfo();

// Whether a card record is known.
bool haveCard();

} // namespace detection
