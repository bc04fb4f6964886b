#include "platform/CopyFaults.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

// What a copy does with a failed entry, for each reason an OS may give, where the failure
// happened: reading the source, making the new name, or linking from the previous copy.
// Each OS maps its own codes into these reasons, so this is the whole policy.
TEST(CopyFaults, EachReasonLeadsToOneStepOnEachSideOfTheCopy) {
    struct Row {
        OsError error;
        FaultStep readingSource;  // skipping failed entries, an entry below the top, first try
        FaultStep makingName;
        bool linkFallsBack;
    };
    using enum OsError;
    using enum FaultStep;
    const Row rows[] = {
        {Other, StopCopy, StopCopy, false},      {Missing, Drop, StopCopy, false},
        {Denied, LeaveOut, StopCopy, true},      {Held, RetryLater, StopCopy, false},
        {BadName, StopCopy, LeaveOut, false},    {TargetFull, StopCopy, StopCopy, false},
        {LinkRefused, StopCopy, StopCopy, true},
    };
    for (const Row& row : rows) {
        const int reason = static_cast<int>(row.error);
        EXPECT_EQ(faultStep(sourceFault(row.error), true, false, false), row.readingSource)
            << reason;
        EXPECT_EQ(faultStep(targetFault(row.error), true, false, false), row.makingName) << reason;
        EXPECT_EQ(linkFallsBackToCopy(row.error), row.linkFallsBack) << reason;
    }
}

}  // namespace
}  // namespace vantrel
