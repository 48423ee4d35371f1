#pragma once

#include "app/DeviceTrait.h"
#include "platform/ModemInhibitor.h"
#include "platform/SleepInhibitor.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class StateMachine;
struct NwCardInfo;
struct UpdateInfo;

// The device side of the workflow: brings up the flashing and detection libraries, turns the
// detection library's notifications into sigArrival and sigDeparture, stops the connection
// manager's service for the whole run, starts the device check and lets the update wait for the
// device to leave and come back.
class AppDeviceTrait : public DeviceTrait {
public:
    // The service that would otherwise hold the card's ports.
    static constexpr const char* kServiceName = "CmxService";
    static constexpr uint32_t kWaitMs = 60000;

    explicit AppDeviceTrait(StateMachine& machine);
    AppDeviceTrait();
    ~AppDeviceTrait() override;

    int initialise() override;
    int checkDevice(bool asynchronous) override;
    int waitForArrival() override;
    int waitForDeparture() override;
    int terminate() override;
    // While the card is flashed (from its change to loader mode until it is back after its
    // reset) the machine may neither sleep nor shut down: a logind "block" inhibitor is held.
    // Without logind there is nothing to take; that is logged. Always 0.
    int flashingMode(void* object, bool on) override;

    // Keeps ModemManager away from the card reported last, from its first check to terminate
    // (a card held already stays so): 0, or 262 when another program has inhibited the card.
    // ModemManager absent or not knowing the card within 10 s is logged and not an error.
    int32_t holdCard();
    // holdCard of the trait the detection library reports to; 0 when there is none.
    static int32_t holdActiveCard();

    // The run is being interrupted: a running flash stops at its next safe point and a wait for
    // the device ends at once, so the update thread reaches its end quickly.
    void interrupt();

    // Starts or stops the service; true on success, else lastServiceError() says why.
    bool setLmService(bool start);
    uint32_t lastServiceError() const { return serviceError; }

    // The detection library's notification callback and the two libraries' log sinks.
    static void nwCallback(uint32_t reason);
    static void detectionLogSink(const wchar_t* text, void* context);
    static void flashingLogSink(const wchar_t* text);

    // Copies the card's identity and ports into `info`; VID and PID come from the instance id.
    static void fillUpdateInfo(const NwCardInfo& card, UpdateInfo& info);

    // What the callback does with the answer of NwGetCardInfo: 55 reports a departure, a started
    // card with a model an arrival (after filling UpdateInfo); anything else nothing.
    void onCardReport(uint32_t result, const NwCardInfo& card);

    // The flashing library's level for the level of the logger "engine".
    static int32_t flashingLogLevel();

protected:
    // The check about to start reads the card as it is now: arrivals reported so far, the one
    // being reacted to included, are no news for a later wait.
    void forgetEarlierArrivals();

private:
    // A broadcast with a memory: a signal that came while nobody waited is kept for the next
    // wait, until the opposite signal makes it stale. A report is announced before the workflow
    // reacts to it and raised after, so a reaction that forgets earlier signals forgets this one
    // too, even though waiters only wake once the reaction has run.
    struct Signal {
        uint64_t announced = 0;
        uint64_t raised = 0;
        uint64_t consumed = 0;
        std::condition_variable condition;
    };

    void report();
    void announce(Signal& signal);
    void raise(Signal& signal, Signal& opposite);
    static void forget(Signal& signal);
    int wait(Signal& signal, int timeoutResult);
    void endWaits();

    void releaseCard();
    // Logs an inhibition the inhibitor's watch made (or failed to make) for a ModemManager that
    // answers anew.
    static void modemManagerChanged(const platform::ModemInhibitor::Outcome& outcome);

    StateMachine& machine;
    uint32_t serviceError = 0;
    platform::SleepInhibitor sleepInhibitor;
    platform::ModemInhibitor modemInhibitor{modemManagerChanged};
    std::mutex cardMutex;
    // The device instance id of the card reported last.
    std::string cardInstance;
    bool modemManagerAbsenceLogged = false;
    std::mutex signalMutex;
    bool signalsExist = false;
    Signal arrival;
    Signal departure;
};
