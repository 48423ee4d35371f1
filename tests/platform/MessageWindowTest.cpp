#include "platform/Clock.h"
#include "platform/DeviceTreeInMemory.h"
#include "platform/MessageWindow.h"
#include "platform/Power.h"
#include "tests/support/ScopedTimeScale.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace platform;

constexpr const char* kComPortClass = "{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
constexpr const char* kUsbClass = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

// A window on the test's thread that records what it is given.
class RecordingWindow {
public:
    RecordingWindow() {
        handle = createMessageWindow([this](const Message& message) {
            received.push_back(message);
            return 0;
        });
    }
    ~RecordingWindow() { destroyMessageWindow(handle); }

    size_t count(uint32_t id) const {
        size_t n = 0;
        for (const auto& message : received)
            n += message.id == id ? 1 : 0;
        return n;
    }

    WindowHandle handle = kNoWindow;
    std::vector<Message> received;
};

class MessageWindowTest : public ::testing::Test {
protected:
    // First, so that it is destroyed last.
    testsupport::ScopedTimeScale scaleGuard{0.01};
};

TEST_F(MessageWindowTest, PostFromAnotherThreadWakesTheWaitingLoopInOrder) {
    RecordingWindow window;
    std::thread poster([&] {
        sleepMs(2000);
        EXPECT_EQ(postMessage(window.handle, kMessageApp + 1, 11, -5), 0u);
        EXPECT_EQ(postMessage(window.handle, kMessageApp + 2, 22, 0), 0u);
    });
    Message message;
    ASSERT_TRUE(getMessage(message));
    dispatchMessage(message);
    ASSERT_TRUE(getMessage(message));
    dispatchMessage(message);
    poster.join();
    ASSERT_EQ(window.received.size(), 2u);
    EXPECT_EQ(window.received[0].id, kMessageApp + 1);
    EXPECT_EQ(window.received[0].wParam, 11u);
    EXPECT_EQ(window.received[0].lParam, -5);
    EXPECT_EQ(window.received[1].id, kMessageApp + 2);
}

TEST_F(MessageWindowTest, WaitingThreadUsesNoCpu) {
    std::atomic<double> cpuSeconds{-1};
    std::atomic<WindowHandle> handle{kNoWindow};
    std::thread owner([&] {
        handle = createMessageWindow([](const Message&) { return 0; });
        rusage before{}, after{};
        getrusage(RUSAGE_THREAD, &before);
        Message message;
        getMessage(message); // blocks until the post below
        getrusage(RUSAGE_THREAD, &after);
        auto seconds = [](const rusage& usage) {
            return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                   (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        };
        cpuSeconds = seconds(after) - seconds(before);
        destroyMessageWindow(handle);
    });
    while (handle == kNoWindow)
        std::this_thread::yield();
    sleepMs(40000); // 400 ms real at the test scale
    ASSERT_EQ(postMessage(handle, kMessageApp, 0, 0), 0u);
    owner.join();
    EXPECT_GE(cpuSeconds.load(), 0.0);
    EXPECT_LT(cpuSeconds.load(), 0.02); // 400 ms of waiting
}

TEST_F(MessageWindowTest, TimerTicksPeriodicallyUntilKilled) {
    RecordingWindow window;
    ASSERT_EQ(setTimer(window.handle, 7, 1000), 0u);
    const uint64_t start = tickMs();
    EXPECT_TRUE(pumpMessagesUntil(20000, [&] { return window.count(kMessageTimer) >= 3; }));
    const uint64_t elapsed = tickMs() - start;
    EXPECT_GE(elapsed, 2900u);
    EXPECT_LT(elapsed, 15000u);
    EXPECT_EQ(window.received.back().wParam, 7u);
    EXPECT_EQ(window.received.back().window, window.handle);

    ASSERT_EQ(killTimer(window.handle, 7), 0u);
    const size_t ticks = window.count(kMessageTimer);
    pumpMessagesUntil(3000, nullptr);
    EXPECT_EQ(window.count(kMessageTimer), ticks);
    EXPECT_EQ(killTimer(window.handle, 7), WindowError::kInvalidTimerHandle);
}

TEST_F(MessageWindowTest, SettingARunningTimerRestartsItsPeriod) {
    RecordingWindow window;
    ASSERT_EQ(setTimer(window.handle, 1, 3000), 0u);
    pumpMessagesUntil(2000, nullptr);
    // A loaded machine may have let the pump run past the first tick: count from the restart.
    const size_t ticksBefore = window.count(kMessageTimer);
    ASSERT_EQ(setTimer(window.handle, 1, 3000), 0u); // restarts: the next tick is 3000 ms away
    const uint64_t restarted = tickMs();
    EXPECT_TRUE(
        pumpMessagesUntil(20000, [&] { return window.count(kMessageTimer) == ticksBefore + 1; }));
    EXPECT_GE(tickMs() - restarted, 2900u);
}

TEST_F(MessageWindowTest, MissedPeriodsCollapseIntoOneTickAfterPostedMessages) {
    RecordingWindow window;
    ASSERT_EQ(setTimer(window.handle, 3, 100), 0u);
    sleepMs(1000); // ten periods pass without a loop
    ASSERT_EQ(postMessage(window.handle, kMessageApp, 0, 0), 0u);
    EXPECT_EQ(pumpPendingMessages(), 2);
    ASSERT_EQ(window.received.size(), 2u);
    EXPECT_EQ(window.received[0].id, kMessageApp); // posted messages come before timers
    EXPECT_EQ(window.received[1].id, kMessageTimer);
    EXPECT_EQ(pumpPendingMessages(), 0);
}

TEST_F(MessageWindowTest, DestroyedWindowRefusesPostsAndDropsItsQueue) {
    RecordingWindow other;
    const WindowHandle window = createMessageWindow([](const Message&) { return 0; });
    ASSERT_TRUE(isWindow(window));
    ASSERT_EQ(postMessage(window, kMessageApp, 0, 0), 0u);
    ASSERT_EQ(setTimer(window, 1, 10), 0u);
    ASSERT_EQ(postMessage(other.handle, kMessageApp, 1, 0), 0u);
    ASSERT_EQ(destroyMessageWindow(window), 0u);
    EXPECT_FALSE(isWindow(window));
    EXPECT_EQ(postMessage(window, kMessageApp, 0, 0), WindowError::kInvalidWindowHandle);
    EXPECT_EQ(setTimer(window, 1, 10), WindowError::kInvalidWindowHandle);
    EXPECT_EQ(destroyMessageWindow(window), WindowError::kInvalidWindowHandle);
    sleepMs(100);
    Message message;
    ASSERT_TRUE(peekMessage(message));
    EXPECT_EQ(message.window, other.handle);
    EXPECT_FALSE(peekMessage(message));
}

TEST_F(MessageWindowTest, ProcedureMayDestroyItsWindowAndPostToOthers) {
    RecordingWindow other;
    WindowHandle self = kNoWindow;
    self = createMessageWindow([&](const Message& message) {
        postMessage(other.handle, message.id + 1, 0, 0);
        destroyMessageWindow(self);
        return 0;
    });
    ASSERT_EQ(postMessage(self, kMessageApp, 0, 0), 0u);
    ASSERT_EQ(postMessage(self, kMessageApp, 0, 0), 0u);
    EXPECT_EQ(pumpPendingMessages(), 2); // the second is for a window that is gone
    EXPECT_EQ(other.count(kMessageApp + 1), 1u);
}

TEST_F(MessageWindowTest, QuitEndsTheLoopWithItsCodeAfterEarlierMessages) {
    std::atomic<int> result{-1};
    std::atomic<int> handled{0};
    std::atomic<WindowHandle> handle{kNoWindow};
    ThreadQueueRef queue;
    std::mutex mutex;
    std::condition_variable ready;
    std::thread loop([&] {
        handle = createMessageWindow([&](const Message&) {
            ++handled;
            return 0;
        });
        {
            std::lock_guard<std::mutex> guard(mutex);
            queue = currentThreadQueue();
        }
        ready.notify_all();
        result = runMessageLoop();
        destroyMessageWindow(handle);
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ready.wait(lock, [&] { return static_cast<bool>(queue); });
    }
    postMessage(handle, kMessageApp, 0, 0);
    postMessage(handle, kMessageApp, 0, 0);
    EXPECT_TRUE(queue.postQuit(42));
    loop.join();
    EXPECT_EQ(result.load(), 42);
    EXPECT_EQ(handled.load(), 2);
}

TEST_F(MessageWindowTest, WakeHookRunsOnPostsAndDueTimersSoAHostCanPump) {
    std::mutex mutex;
    std::condition_variable woken;
    int wakes = 0;
    setMessageWakeHook([&] {
        std::lock_guard<std::mutex> guard(mutex);
        ++wakes;
        woken.notify_all();
    });
    RecordingWindow window;
    auto waitForWake = [&](int atLeast) {
        std::unique_lock<std::mutex> lock(mutex);
        return woken.wait_for(lock, std::chrono::seconds(5), [&] { return wakes >= atLeast; });
    };
    std::thread([&] { postMessage(window.handle, kMessageApp, 0, 0); }).join();
    ASSERT_TRUE(waitForWake(1));
    EXPECT_EQ(pumpPendingMessages(), 1);

    ASSERT_EQ(setTimer(window.handle, 9, 500), 0u);
    ASSERT_TRUE(waitForWake(2)); // the timer fell due while nobody waited in the queue
    EXPECT_EQ(pumpPendingMessages(), 1);
    EXPECT_EQ(window.count(kMessageTimer), 1u);
    ASSERT_TRUE(waitForWake(3)); // and again one period later
    killTimer(window.handle, 9);
    setMessageWakeHook(nullptr);
}

class DeviceNotificationTest : public MessageWindowTest {
protected:
    void SetUp() override {
        MessageWindowTest::SetUp();
        tree = std::make_shared<InMemoryDeviceTree>();
        previous = installDeviceTree(tree);
    }
    void TearDown() override {
        installDeviceTree(previous);
        MessageWindowTest::TearDown();
    }

    // A composite device with a port child that publishes a COM port interface.
    static DeviceGroup card() {
        DeviceGroup group;
        auto& composite = group.add("card");
        composite.instanceId = "USB\\VID_1234&PID_5678\\0001";
        composite.interfaces.push_back({kUsbClass, "\\\\?\\USB#VID_1234&PID_5678#0001"});
        auto& port = group.add("app", "card");
        port.instanceId = "USB\\VID_1234&PID_5678&MI_02\\6&1&0&0002";
        port.classGuid = kClassPorts;
        port.hardwareKey["PortName"] = RegistryValue{true, "pts/7"};
        port.interfaces.push_back({kComPortClass, "\\\\?\\port-app"});
        return group;
    }

    std::shared_ptr<InMemoryDeviceTree> tree;
    std::shared_ptr<DeviceTree> previous;
};

TEST_F(DeviceNotificationTest, RegisteredClassesArriveWithPortsAndNodesChanged) {
    RecordingWindow window;
    RecordingWindow unregistered;
    NotificationHandle registration = 0;
    // Lower case and without braces: classes compare without regard to case.
    ASSERT_EQ(registerDeviceNotification(window.handle, "{86e0d1e0-8089-11d0-9ce4-08003e301f73}",
                                         registration),
              0u);
    ASSERT_TRUE(tree->setGroup("card", card()));
    pumpPendingMessages();

    bool comArrived = false, portArrived = false, nodesChanged = false, usbSeen = false;
    for (const auto& message : window.received) {
        ASSERT_EQ(message.id, kMessageDeviceChange);
        if (message.wParam == kDeviceNodesChanged) {
            nodesChanged = true;
            continue;
        }
        ASSERT_EQ(message.wParam, kDeviceArrival);
        ASSERT_TRUE(message.device);
        if (message.device->type == DeviceBroadcast::Type::DeviceInterface) {
            usbSeen |= message.device->name.find("USB#") != std::string::npos;
            comArrived |= message.device->name == "\\\\?\\port-app";
        }
        if (message.device->type == DeviceBroadcast::Type::Port)
            portArrived |= message.device->name == "pts/7";
    }
    EXPECT_TRUE(comArrived);
    EXPECT_TRUE(portArrived);
    EXPECT_TRUE(nodesChanged);
    EXPECT_FALSE(usbSeen); // not registered for that class
    EXPECT_TRUE(unregistered.received.empty());

    window.received.clear();
    tree->removeGroup("card");
    pumpPendingMessages();
    bool comRemoved = false;
    for (const auto& message : window.received)
        comRemoved |= message.wParam == kDeviceRemoveComplete && message.device &&
                      message.device->name == "\\\\?\\port-app";
    EXPECT_TRUE(comRemoved);

    ASSERT_EQ(unregisterDeviceNotification(registration), 0u);
    EXPECT_EQ(unregisterDeviceNotification(registration), WindowError::kInvalidHandle);
    window.received.clear();
    ASSERT_TRUE(tree->setGroup("card", card()));
    pumpPendingMessages();
    EXPECT_TRUE(window.received.empty());
}

TEST_F(DeviceNotificationTest, DestroyingTheWindowEndsItsRegistrations) {
    const WindowHandle window = createMessageWindow([](const Message&) { return 0; });
    NotificationHandle registration = 0;
    ASSERT_EQ(registerDeviceNotification(window, kComPortClass, registration), 0u);
    ASSERT_EQ(destroyMessageWindow(window), 0u);
    EXPECT_EQ(unregisterDeviceNotification(registration), WindowError::kInvalidHandle);
    ASSERT_TRUE(tree->setGroup("card", card()));
    Message message;
    EXPECT_FALSE(peekMessage(message));
    EXPECT_EQ(registerDeviceNotification(window, kComPortClass, registration),
              WindowError::kInvalidWindowHandle);
    RecordingWindow alive;
    EXPECT_EQ(registerDeviceNotification(alive.handle, "", registration),
              WindowError::kInvalidParameter);
}

// A device tree that cannot deliver notifications (a system that refused its registration).
class DeafDeviceTree : public InMemoryDeviceTree {
public:
    uint64_t subscribe(const NotificationFilter&, DeviceTreeListener) override { return 0; }
};

TEST_F(DeviceNotificationTest, TreeThatCannotNotifyFailsTheRegistrationWithEFail) {
    installDeviceTree(std::make_shared<DeafDeviceTree>());
    RecordingWindow window;
    NotificationHandle registration = 7;
    EXPECT_EQ(registerDeviceNotification(window.handle, kComPortClass, registration),
              WindowError::kFail);
    EXPECT_EQ(registration, 0u);
    EXPECT_EQ(unregisterDeviceNotification(registration), WindowError::kInvalidHandle);
    installDeviceTree(tree);
}

TEST_F(MessageWindowTest, PowerBroadcastsReachRegisteredWindowsOnly) {
    RecordingWindow listening;
    RecordingWindow deaf;
    NotificationHandle registration = 0;
    ASSERT_EQ(registerPowerNotification(listening.handle, registration), 0u);
    publishPowerEvent(kPowerSuspend);
    pumpPendingMessages();
    ASSERT_EQ(listening.received.size(), 1u);
    EXPECT_EQ(listening.received[0].id, kMessagePowerBroadcast);
    EXPECT_EQ(listening.received[0].wParam, kPowerSuspend);
    EXPECT_TRUE(deaf.received.empty());
    ASSERT_EQ(unregisterPowerNotification(registration), 0u);
    publishPowerEvent(kPowerResumeSuspend);
    pumpPendingMessages();
    EXPECT_EQ(listening.received.size(), 1u);
}

} // namespace
