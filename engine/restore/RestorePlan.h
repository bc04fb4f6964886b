#pragma once

namespace vantrel {

// What holds the place an entry of the copy is restored to.
enum class AtPlace {
    Nothing,
    Same,     // the copy's entry itself: a file of the same contents, a link to the same target
    Folder,   // a folder (or a link to one, taken as the user's way there)
    Special,  // a pipe, a device or a socket
    Other,    // a file or link that differs
};

// The kinds of entry a copy holds, as its manifest spells them.
enum class EntryKind { File, Link, Pipe, Folder };

enum class EntryAction {
    Write,       // written under a temporary name, then renamed into the place
    LeaveAlone,  // already there
    Replace,     // written, then renamed over what is there
    Beside,      // what is there stays; try the next name beside it
};

enum class FolderAction {
    Make,    // in a folder this restore made: made at once, nothing else can be there
    Use,     // restored into what is there
    Stage,   // made under a temporary name and renamed into place once filled
    Beside,  // what is there stays; try the next name beside it
};

// Names tried beside a destination entry before giving up.
inline constexpr int kMaxBesideNames = 100;

// A file, link or pipe of the copy whose place holds `at`. A pipe is made again, and any
// special file there is left alone. A folder is never replaced.
EntryAction planEntry(EntryKind kind, AtPlace at, bool overwrite);
// The same for the n-th name beside the place, which is taken only when free.
EntryAction planBesideName(EntryKind kind, AtPlace at);
// A folder of the copy whose place holds `at`; `inNewFolder` when its parent was made now.
FolderAction planFolder(AtPlace at, bool inNewFolder);

}  // namespace vantrel
