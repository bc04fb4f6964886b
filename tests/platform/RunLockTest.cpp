#include "platform/RunLock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>

#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

TEST(RunLock, ExcludesEveryOtherHolderUntilReleasedOrItsProcessIsKilled) {
    test::TempDir dir;
    const std::filesystem::path file = dir / "备份.lock";
    EXPECT_THROW(RunLock::tryAcquire(dir / "no-folder" / "x.lock"), std::system_error);
    {
        auto held = RunLock::tryAcquire(file);
        ASSERT_TRUE(held);
        EXPECT_FALSE(RunLock::tryAcquire(file));  // not even in the same process
    }
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto held = RunLock::tryAcquire(file);
        (void)!::write(ready[1], held ? "y" : "n", 1);
        for (;;) {
            ::pause();
        }
    }
    char c = 0;
    EXPECT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_FALSE(RunLock::tryAcquire(file));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_TRUE(RunLock::tryAcquire(file));
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(RunLock, ALockFileReadOnlyForThisUserStillLocks) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    test::TempDir dir;
    const std::filesystem::path file = dir / "shared.lock";
    ASSERT_TRUE(RunLock::tryAcquire(file));  // made by this user, 0644 under the usual umask
    std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            _exit(2);
        }
        try {
            _exit(RunLock::tryAcquire(file) ? 0 : 1);
        } catch (...) {
            _exit(3);
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace vantrel
