#include <gtest/gtest.h>

#include <system_error>

#include "platform/FileStat.h"
#include "tests/support/TempDir.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

TEST(LinkProbe, FindsLinksAndLeavesNothingBehind) {
    test::TempDir dir;
    const auto support = probeLinks(dir.path(), ".probe");
    EXPECT_TRUE(support.hardLinks);
    EXPECT_EQ(support.timeToleranceNs, 0);
    EXPECT_TRUE(fs::is_empty(dir.path()));
    EXPECT_THROW(probeLinks(dir / "missing", ".probe"), std::system_error);
}

}  // namespace
}  // namespace vantrel
