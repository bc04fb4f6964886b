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

}  // namespace
}  // namespace vantrel
