#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>

#include "platform/RunLock.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

class RunLockTest : public ::testing::Test {
protected:
    // Exit status of a child process that tries the lock: 0 acquired, 1 refused.
    int tryInChild() {
        const pid_t pid = ::fork();
        if (pid == 0) {
            _exit(RunLock::tryAcquire(m_file) ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    test::TempDir m_dir;
    const std::filesystem::path m_file = m_dir / "备份.lock";
};

TEST_F(RunLockTest, ExcludesSecondHolderInSameProcessUntilReleased) {
    std::optional<RunLock> first = RunLock::tryAcquire(m_file);
    ASSERT_TRUE(first);
    EXPECT_FALSE(RunLock::tryAcquire(m_file));

    // Moving keeps one lock; the moved-from object releases nothing.
    RunLock moved = std::move(*first);
    first.reset();
    EXPECT_FALSE(RunLock::tryAcquire(m_file));

    { RunLock gone = std::move(moved); }
    EXPECT_TRUE(RunLock::tryAcquire(m_file));
}

TEST_F(RunLockTest, ExcludesOtherProcess) {
    {
        auto held = RunLock::tryAcquire(m_file);
        ASSERT_TRUE(held);
        EXPECT_EQ(tryInChild(), 1);
    }
    EXPECT_EQ(tryInChild(), 0);
}

TEST_F(RunLockTest, ReleasedWhenHolderIsKilled) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        auto held = RunLock::tryAcquire(m_file);
        const char c = held ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(c, 'y');
    EXPECT_FALSE(RunLock::tryAcquire(m_file));

    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_TRUE(RunLock::tryAcquire(m_file));
}

TEST_F(RunLockTest, UnopenableLockFileThrows) {
    EXPECT_THROW(RunLock::tryAcquire(m_dir / "no-such-folder" / "x.lock"), std::system_error);
}

}  // namespace
}  // namespace vantrel
