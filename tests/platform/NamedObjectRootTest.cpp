#include "platform/NamedObject.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

constexpr uid_t kOtherUser = 65531;

// Runs `check` in a child with private, empty /run and /dev/shm (a mount namespace of its own),
// so the machine's real folders stay untouched. The child's exit code: 0 when `check` held,
// 77 when the namespace could not be made.
int inPrivateRunAndShm(const std::function<bool()>& check) {
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0)
            _exit(77);
        unsetenv("KESTREL_SIM_ROOT");
        unsetenv("KESTREL_OBJECT_NAMESPACE");
        platform::setNamedObjectNamespace("");
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Creates /dev/shm/kestrel-0 as another user, as anyone could before root's first run.
bool plantRootsShmFolder() {
    const pid_t child = fork();
    if (child == 0)
        _exit(setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0 &&
                      mkdir("/dev/shm/kestrel-0", 0777) == 0
                  ? 0
                  : 1);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class NamedObjectsOfRoot : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "root's namespace is only root's";
    }
    void expectInNamespace(const std::function<bool()>& check) {
        const int result = inPrivateRunAndShm(check);
        if (result == 77)
            GTEST_SKIP() << "no private mount namespace here";
        EXPECT_EQ(result, 0);
    }
};

TEST_F(NamedObjectsOfRoot, LiveInTheRuntimeFolderSoAPlantedShmFolderChangesNothing) {
    expectInNamespace([] {
        if (!plantRootsShmFolder())
            return false;
        const platform::SyncOpenResult mutex = platform::createNamedMutex("kestrel-test", true);
        struct stat info {};
        return mutex.handle && platform::namedObjectNamespace() == "/run/kestrel/objects" &&
               stat("/run/kestrel", &info) == 0 && (info.st_mode & 07777) == 0700 &&
               info.st_uid == 0;
    });
}

TEST_F(NamedObjectsOfRoot, RuntimeFolderOthersCanWriteGivesAccessDenied) {
    expectInNamespace([] {
        if (mkdir("/run/kestrel", 0777) != 0 || chmod("/run/kestrel", 0777) != 0)
            return false;
        const platform::SyncOpenResult event =
            platform::createNamedEvent("kestrel-test", true, false);
        return !event.handle && event.error == platform::SyncError::kAccessDenied;
    });
}

} // namespace
