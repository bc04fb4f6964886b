#pragma once

// What a tree copy does with an entry that failed, whatever the OS: each OS maps its own error
// codes into an EntryFault, and the copy asks faultStep what follows.
namespace vantrel {

enum class EntryFault {
    Run,          // not the entry's own: the target or a device failed, and the copy with it
    Vanished,     // gone since its folder was listed
    Unreadable,   // the source refuses to be read (no access)
    Held,         // another program holds the source open or has locked part of it
    NameRefused,  // the target refuses this one name
};

enum class FaultStep {
    StopCopy,    // the copy fails
    Drop,        // left out without a word: nothing was lost
    LeaveOut,    // left out and listed as not copied
    RetryLater,  // tried once more at the end of the copy, after a pause
};

// `skipFailedEntries` as CopyOptions has it; `topEntry`: the copy's source itself is this file;
// `retried`: this was the entry's second try.
constexpr FaultStep faultStep(EntryFault fault, bool skipFailedEntries, bool topEntry,
                              bool retried) {
    if (fault == EntryFault::Run) {
        return FaultStep::StopCopy;
    }
    // A held file is often let go within seconds (a scanner, an indexer, a save in progress).
    if (fault == EntryFault::Held && !retried) {
        return FaultStep::RetryLater;
    }
    if (!skipFailedEntries || topEntry) {
        return FaultStep::StopCopy;
    }
    return fault == EntryFault::Vanished ? FaultStep::Drop : FaultStep::LeaveOut;
}

}  // namespace vantrel
