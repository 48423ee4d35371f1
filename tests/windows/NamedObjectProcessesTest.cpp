#include "platform/NamedObject.h"
#include "platform/Resource.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

// Named kernel objects between two processes: this program starts itself as the peer, which
// takes a named mutex, signals a named event, waits until it may end and ends without releasing
// the mutex.
namespace {

constexpr const char* kPeerVariable = "KESTREL_TEST_PEER_MUTEX";
constexpr uint32_t kPeerWaitMs = 20000;

std::string peerMutexName() {
    const char* name = std::getenv(kPeerVariable);
    return name != nullptr ? name : "";
}

// Only in the peer process: owns the mutex, says so, and ends with it owned.
TEST(NamedObjectPeer, TakesTheMutexSignalsAndEndsWithoutReleasing) {
    const std::string name = peerMutexName();
    if (name.empty())
        GTEST_SKIP() << "runs only as the peer of NamedObjectsBetweenProcesses";
    static platform::SyncHandle held;
    const auto mutex = platform::createNamedMutex(name, true);
    ASSERT_TRUE(mutex.handle) << mutex.error;
    ASSERT_TRUE(mutex.alreadyExisted);
    held = mutex.handle;
    const auto ready = platform::openNamedEvent(name + ".ready");
    ASSERT_TRUE(ready.handle) << ready.error;
    const auto mayEnd = platform::openNamedEvent(name + ".end");
    ASSERT_TRUE(mayEnd.handle) << mayEnd.error;
    ASSERT_EQ(platform::waitForObject(held, 0), platform::kWaitObject0); // owned, recursively
    EXPECT_EQ(platform::setEvent(ready.handle), 0u);
    // The waiter checks that the mutex is owned while this process certainly still lives.
    EXPECT_EQ(platform::waitForObject(mayEnd.handle, kPeerWaitMs), platform::kWaitObject0);
}

TEST(NamedObjectsBetweenProcesses, MutexOfAPeerThatEndsOwningItIsAbandonedToTheWaiter) {
    if (!peerMutexName().empty())
        GTEST_SKIP() << "the peer runs only its own part";
    const std::string name = "Kestrel.Test.Peer." + std::to_string(GetCurrentProcessId());
    const auto mutex = platform::createNamedMutex(name, false);
    ASSERT_TRUE(mutex.handle) << mutex.error;
    ASSERT_FALSE(mutex.alreadyExisted);
    const auto ready = platform::createNamedEvent(name + ".ready", true, false);
    ASSERT_TRUE(ready.handle) << ready.error;
    const auto peerMayEnd = platform::createNamedEvent(name + ".end", true, false);
    ASSERT_TRUE(peerMayEnd.handle) << peerMayEnd.error;

    _putenv_s(kPeerVariable, name.c_str());
    const std::string self = platform::executablePath();
    std::wstring command =
        L"\"" + std::wstring(self.begin(), self.end()) + L"\" --gtest_filter=NamedObjectPeer.*";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION peer{};
    const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &peer) != 0;
    _putenv_s(kPeerVariable, "");
    ASSERT_TRUE(started) << GetLastError();
    CloseHandle(peer.hThread);

    EXPECT_EQ(platform::waitForObject(ready.handle, kPeerWaitMs), platform::kWaitObject0);
    // While the peer owns the mutex, a wait times out.
    EXPECT_EQ(platform::waitForObject(mutex.handle, 0), platform::kWaitTimeout);
    EXPECT_EQ(platform::setEvent(peerMayEnd.handle), 0u);
    EXPECT_EQ(WaitForSingleObject(peer.hProcess, kPeerWaitMs), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(peer.hProcess, &exitCode);
    CloseHandle(peer.hProcess);
    EXPECT_EQ(exitCode, 0u);

    EXPECT_EQ(platform::waitForAnyObject({ready.handle, mutex.handle}, kPeerWaitMs),
              platform::kWaitObject0); // the manual-reset event stays signalled
    EXPECT_EQ(platform::waitForObject(mutex.handle, kPeerWaitMs), platform::kWaitAbandoned0);
    EXPECT_EQ(platform::releaseMutex(mutex.handle), 0u);
    EXPECT_EQ(platform::releaseMutex(mutex.handle), platform::SyncError::kNotOwner);
    EXPECT_TRUE(platform::isEventSignalled(ready.handle));
    EXPECT_EQ(platform::resetEvent(ready.handle), 0u);
    EXPECT_FALSE(platform::isEventSignalled(ready.handle));
}

} // namespace
