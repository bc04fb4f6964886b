#include "engine/restore/RestorePlan.h"

namespace vantrel {

EntryAction planEntry(EntryKind kind, AtPlace at, bool overwrite) {
    switch (at) {
        case AtPlace::Nothing:
            return EntryAction::Write;
        case AtPlace::Same:
            return EntryAction::LeaveAlone;
        case AtPlace::Folder:
            return EntryAction::Beside;
        case AtPlace::Special:
            if (kind == EntryKind::Pipe) {
                return EntryAction::LeaveAlone;
            }
            break;
        case AtPlace::Other:
            break;
    }
    return overwrite ? EntryAction::Replace : EntryAction::Beside;
}

EntryAction planBesideName(EntryKind kind, AtPlace at) {
    switch (at) {
        case AtPlace::Nothing:
            return EntryAction::Write;
        case AtPlace::Same:
            return EntryAction::LeaveAlone;  // an earlier restore put it there
        case AtPlace::Special:
            return kind == EntryKind::Pipe ? EntryAction::LeaveAlone : EntryAction::Beside;
        default:
            return EntryAction::Beside;
    }
}

FolderAction planFolder(AtPlace at, bool inNewFolder) {
    if (inNewFolder) {
        return FolderAction::Make;
    }
    switch (at) {
        case AtPlace::Folder:
            return FolderAction::Use;
        case AtPlace::Nothing:
            return FolderAction::Stage;
        default:
            return FolderAction::Beside;
    }
}

}  // namespace vantrel
