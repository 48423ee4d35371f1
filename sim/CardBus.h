#pragma once

#include <string>

// Where a card shows itself when it is not a device file of the simulated machine: an emulated
// udev tree, for instance. The bus makes the terminals of the card's ports and the card serves
// their masters.
namespace cardsim {

struct BusTerminal {
    // The master side, owned by the bus; -1 for a port the card does not have in this mode.
    int master = -1;
    // The port name as the device tree publishes it ("ttyUSB2").
    std::string portName;
};

class CardBus {
public:
    virtual ~CardBus() = default;
    // The card comes onto the bus in `mode` (its generation counts the arrivals from 1): the bus
    // announces it and fills in the terminals of its application and diagnostic ports. False
    // when it cannot.
    virtual bool arrive(int mode, int generation, BusTerminal& application,
                        BusTerminal& diagnostic) = 0;
    // The card of that mode leaves the bus; the card has stopped serving the terminals.
    virtual void leave(int mode, int generation) = 0;
};

} // namespace cardsim
