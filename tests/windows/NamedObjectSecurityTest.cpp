#include "platform/NamedObject.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

// The detection library's suspension event and exclusive mutex are opened by peers that may run
// without elevation: every named object is made with a null DACL, so anyone may open it.
namespace {

std::string uniqueName(const char* what) {
    return std::string("KestrelSecurityTest.") + what + "." + std::to_string(GetCurrentProcessId());
}

// Whether the object behind `handle` carries a DACL that is present and null: it grants everyone
// every access. (Without a DACL present the object has its creator's default security.)
bool hasNullDacl(HANDLE handle) {
    DWORD size = 0;
    GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size);
    if (size == 0 || !GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, descriptor.data(),
                                              size, &size)) {
        ADD_FAILURE() << "GetKernelObjectSecurity failed with " << GetLastError();
        return false;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted));
    return present && dacl == nullptr;
}

TEST(NamedObjectSecurity, SuspensionEventAndExclusiveMutexAreMadeWithANullDacl) {
    platform::setNamedObjectNamespace("");
    const std::string mutexName = uniqueName("mutex");
    const std::string eventName = uniqueName("event");
    const auto mutex = platform::createNamedMutex(mutexName, false);
    const auto event = platform::createNamedEvent(eventName, true, false);
    ASSERT_TRUE(mutex.handle) << mutex.error;
    ASSERT_TRUE(event.handle) << event.error;

    const std::wstring wideMutex(mutexName.begin(), mutexName.end());
    const std::wstring wideEvent(eventName.begin(), eventName.end());
    const HANDLE openedMutex = OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, wideMutex.c_str());
    const HANDLE openedEvent = OpenEventW(READ_CONTROL | SYNCHRONIZE, FALSE, wideEvent.c_str());
    ASSERT_NE(openedMutex, nullptr) << GetLastError();
    ASSERT_NE(openedEvent, nullptr) << GetLastError();
    EXPECT_TRUE(hasNullDacl(openedMutex));
    EXPECT_TRUE(hasNullDacl(openedEvent));
    CloseHandle(openedMutex);
    CloseHandle(openedEvent);

    // An object made with default security has not: the check can tell.
    const std::wstring plainName(L"KestrelSecurityTest.plain." +
                                 std::to_wstring(GetCurrentProcessId()));
    const HANDLE plain = CreateMutexW(nullptr, FALSE, plainName.c_str());
    ASSERT_NE(plain, nullptr);
    EXPECT_FALSE(hasNullDacl(plain));
    CloseHandle(plain);
}

} // namespace
