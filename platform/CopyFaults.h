#pragma once

// What a tree copy does with an entry that failed, whatever the OS: each OS maps its own error
// codes into an OsError, the functions below make an EntryFault of it, and the copy asks
// faultStep what follows.
namespace vantrel {

// An OS's error code as the copy reads it.
enum class OsError {
    Other,        // any other reason
    Missing,      // the entry, or a folder on its way, is not there
    Denied,       // no access
    Held,         // another program has the file open without sharing, or has part of it locked
    BadName,      // the name is invalid or too long where it is made
    TargetFull,   // the target is full or read-only, or refuses the file's size
    LinkRefused,  // a hard link cannot be made there (too many, another device, not supported)
};

enum class EntryFault {
    Run,          // not the entry's own: the target or a device failed, and the copy with it
    Vanished,     // gone since its folder was listed
    Unreadable,   // the source refuses to be read (no access)
    Held,         // another program holds the source open or has locked part of it
    NameRefused,  // the target refuses this one name
};

// The fault of an entry whose source gave `err` when it was listed, opened or read.
constexpr EntryFault sourceFault(OsError err) {
    switch (err) {
        case OsError::Held:
            return EntryFault::Held;
        case OsError::Denied:
            return EntryFault::Unreadable;
        case OsError::Missing:
            return EntryFault::Vanished;
        default:
            return EntryFault::Run;
    }
}

// The fault of an entry whose new name in the target gave `err` when it was made.
constexpr EntryFault targetFault(OsError err) {
    return err == OsError::BadName ? EntryFault::NameRefused : EntryFault::Run;
}

// A link from the previous copy that fails with `err` is replaced by a copy of the file.
constexpr bool linkFallsBackToCopy(OsError err) {
    return err == OsError::LinkRefused || err == OsError::Denied;
}

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
