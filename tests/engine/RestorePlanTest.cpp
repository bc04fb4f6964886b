#include <gtest/gtest.h>

#include "engine/restore/RestorePlan.h"

namespace vantrel {
namespace {

using enum AtPlace;
using enum EntryAction;

TEST(RestorePlan, WhatHoldsThePlaceDecidesEachEntry) {
    const struct {
        EntryKind kind;
        AtPlace at;
        EntryAction plain, overwriting;
    } rows[] = {
        {EntryKind::File, Nothing, Write, Write},
        {EntryKind::File, Same, LeaveAlone, LeaveAlone},
        {EntryKind::File, Other, Beside, Replace},
        {EntryKind::File, Folder, Beside, Beside},  // a folder is never replaced
        {EntryKind::File, Special, Beside, Replace},
        {EntryKind::Link, Other, Beside, Replace},
        {EntryKind::Pipe, Special, LeaveAlone, LeaveAlone},  // nor a device by a pipe
        {EntryKind::Pipe, Other, Beside, Replace},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << int(r.kind) << "/" << int(r.at));
        EXPECT_EQ(planEntry(r.kind, r.at, false), r.plain);
        EXPECT_EQ(planEntry(r.kind, r.at, true), r.overwriting);
    }
    // Beside: a free name is taken, the same there already is enough, anything else is passed.
    EXPECT_EQ(planBesideName(EntryKind::File, Nothing), Write);
    EXPECT_EQ(planBesideName(EntryKind::File, Same), LeaveAlone);
    EXPECT_EQ(planBesideName(EntryKind::Pipe, Special), LeaveAlone);
    for (AtPlace taken : {Other, Folder, Special}) {
        EXPECT_EQ(planBesideName(EntryKind::File, taken), Beside);
    }
}

TEST(RestorePlan, AFolderIsUsedStagedOrMadeBesideWhatHoldsItsName) {
    EXPECT_EQ(planFolder(Folder, false), FolderAction::Use);
    EXPECT_EQ(planFolder(Nothing, false), FolderAction::Stage);
    for (AtPlace taken : {Other, Special, Same}) {
        EXPECT_EQ(planFolder(taken, false), FolderAction::Beside);  // never through a link
    }
    EXPECT_EQ(planFolder(Nothing, true), FolderAction::Make);
}

}  // namespace
}  // namespace vantrel
