#pragma once

#include <cstdint>
#include <string>

// The card state machine: the full check, the reactions to device, power, timer and internal
// messages, and the five window timers that bound the waits. Everything runs on the thread of
// the notification window.
namespace detection {

// Detection events, the bits of an insertion event mask.
constexpr uint32_t kDetEvUnknown = 0x0;
constexpr uint32_t kDetEvComPortDevIfArrived = 0x1;
constexpr uint32_t kDetEvModemDevIfArrived = 0x2;
constexpr uint32_t kDetEvUsbIfArrived = 0x4;
constexpr uint32_t kDetEvSerEnumBusEnumIfArrived = 0x8;
constexpr uint32_t kDetEvNetworkDevIfArrived = 0x10;
constexpr uint32_t kDetEvDeviceNodeArrived = 0x20;
constexpr uint32_t kDetEvPortArrived = 0x40;
constexpr uint32_t kDetEvScReaderIfArrived = 0x80;
constexpr uint32_t kDetEvDeviceNodeChanged = 0x80000000u;

// Window timer ids.
constexpr uint64_t kTimerDetectionTimeout = 1;
constexpr uint64_t kTimerPolling = 2;
constexpr uint64_t kTimerWakeupPolling = 3;
constexpr uint64_t kTimerWakeupTimeout = 4;
constexpr uint64_t kTimerReplugTimeout = 5;

// The name of a detection event for "Nw: DetectionEvent is %s".
const char* detectionEventName(uint32_t event);

// Empties the record and changes to stopped with a notification, whatever the state was.
void ResetAndStop(uint32_t reason);

void CheckSystemState(uint32_t reason);

// Notification and timers after every state change (installed as the state observer).
void onCardStateChanged(uint32_t state, uint32_t reason);

void OnDeviceNodesChanged();
void OnDeviceArrival(uint32_t event);
void OnDeviceRemoval(const std::string& interfaceName);
void OnTimer(uint64_t timerId);
void OnStandby();
void OnResume();
// The suspension request of another process (posted by the listener thread).
void OnSuspensionRequest();

// 1 once per card when its first insertion's smart card reader install makes it vanish.
int IsFirstInsertionsFakeRemoval();

// Each answers 0, 21 without a window, or the error of the timer call.
uint32_t StartDetectionTimeoutTimer();
uint32_t StopDetectionTimeoutTimer();
uint32_t StartPollingTimer();
uint32_t StopPollingTimer();
uint32_t StartWakeupTimeoutTimer();
uint32_t StopWakeupTimeoutTimer();
uint32_t StartWakeupPollingTimer();
uint32_t StopWakeupPollingTimer();
uint32_t StartReplugTimeoutTimer();
uint32_t StopReplugTimeoutTimer();
// Forgets every running timer (the window that held them is gone).
void forgetTimers();

} // namespace detection
