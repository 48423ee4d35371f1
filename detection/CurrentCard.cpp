#include "detection/CurrentCard.h"

#include <cstring>

namespace detection {

CurrentCard& currentCard() {
    static CurrentCard* card = [] {
        auto* created = new CurrentCard;
        std::memset(&created->info, 0, sizeof created->info);
        std::memset(created->hardwareId, 0, sizeof created->hardwareId);
        std::memset(created->symbolicName, 0, sizeof created->symbolicName);
        return created;
    }();
    return *card;
}

void ResetCardInfo() {
    CurrentCard& card = currentCard();
    const uint32_t replugDevNode = card.replugDevNode;
    const bool wakingUp = card.wakingUp;
    card = CurrentCard();
    std::memset(&card.info, 0, sizeof card.info);
    std::memset(card.hardwareId, 0, sizeof card.hardwareId);
    std::memset(card.symbolicName, 0, sizeof card.symbolicName);
    card.info.state = CardStateStopped;
    card.replugDevNode = replugDevNode;
    card.wakingUp = wakingUp;
}

bool haveCard() {
    return currentCard().cardIndex >= 0;
}

} // namespace detection
