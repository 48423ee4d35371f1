#pragma once

#include <cstdint>
#include <string>

// Mobile broadband interfaces (OS type 7 and later): the interface list, its arrival and
// removal messages, and the generic card that any listed interface becomes when the database
// has a supported generic entry.
namespace detection {

constexpr uint32_t kMaxMbInterfaces = 32;

// Whether the system has the mobile broadband interface (OS type 7 and later).
bool hasMobileBroadbandApi();

// 0 or an HRESULT; subscribes to arrivals and removals and reads the list.
uint32_t InitializeMbDetection(int genericIndex);
void ShutdownMbDetection();
// Reads the list again: 0 or an HRESULT.
uint32_t UpdateMbDevices();
bool IsMbInterfaceListed(const std::string& interfaceId);
// 1 when the current-card record became the generic card (the caller sets it started).
int DetectGenericMbCard(uint32_t reason);

// Messages 0x8004 and 0x8005 on the notification window.
void OnMbInterfaceArrival();
void OnMbInterfaceRemoval();

} // namespace detection
