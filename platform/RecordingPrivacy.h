#pragma once

#include "platform/DeviceTreeInMemory.h"

#include <string>
#include <vector>

// What a session recording must not carry of one user's card: its USB serial number (in the
// instance ids, interface names and symbolic names of the device tree) and the serial number or
// IMEI in the card's answers. Each is replaced by a placeholder of the same length, all '0', so
// that a recording still parses and replays as the card's own would.
namespace platform {

constexpr char kIdentifierPlaceholder = '0';

// The USB serial number in a USB device's instance id ("USB\VID_1234&PID_5678\SERIAL"); empty
// for an interface or a system-made id (one with '&' in it).
std::string usbSerialNumber(const std::string& instanceId);

// The USB serial numbers of the USB devices of `group`.
std::vector<std::string> usbSerialNumbers(const DeviceGroup& group);

// Replaces every one of `serials` wherever the group's texts hold it.
void hideUsbSerialNumbers(DeviceGroup& group, const std::vector<std::string>& serials);
// The same in one text (an interface name, an instance id).
std::string hideUsbSerialNumbers(std::string text, const std::vector<std::string>& serials);

// The USB serial numbers in udev devices as umockdev's text holds them (a device's "serial"
// attribute).
std::vector<std::string> udevSerialNumbers(const std::string& devices);
// Replaces every one of `serials` in that text wherever it stands as a word of its own: in the
// attribute, the ID_SERIAL properties and the by-id links alike.
std::string hideUdevSerialNumbers(std::string devices, const std::vector<std::string>& serials);

// The card's answer with the value of every "IMEI", "SERIAL" or "SN" line (the text after its
// ':') and every run of 14 or more digits replaced.
std::string hideAnswerIdentifiers(const std::string& answer);

} // namespace platform
