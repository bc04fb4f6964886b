#pragma once

// The single steps of the Windows tree copy: listing a folder with what each entry is, making
// folders, setting a folder's time, asking the source and flushing a copy.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileOps.h"
#include "platform/FileStat.h"

namespace vantrel::win {

// An entry of a folder as its listing gives it.
struct Listed {
    std::wstring name;
    DWORD attributes = 0;
    FILETIME written{};
    std::optional<std::int64_t> changedNs;  // none where the listing does not tell
    std::uint64_t size = 0;
    std::uint64_t allocated = 0;
};

// The folder's entries, read whole before anything is made from them, each with its times,
// size and attributes, so that no file needs to be opened to be described. Where the file
// system cannot list with times (some network shares), the change time is left out.
DWORD listFolder(const std::wstring& folder, std::vector<Listed>& entries);

// What the source file was when its folder was listed, as statEntry would read it from the
// file itself (the number of its names aside).
EntryStat statOfListed(const Listed& e);

// Makes the folder and any missing parents. Returns the error, or 0.
DWORD makeFolders(const std::wstring& folder);

// Sets a folder's modification time. Returns the error, or 0.
DWORD setFolderTime(const std::wstring& folder, const FILETIME& written);

// Whether the source file itself refuses to be read; 0 when it opens.
DWORD sourceReadError(const std::wstring& from);

// Puts a copied file's contents on stable storage where the copy could not do it through its
// own handle. A read-only copy is opened for writing by lifting its read-only attribute for
// the moment. The file is shared with everyone, and a file another program (a scanner, the
// search indexer, a sync client) holds is waited for a little; one still held after that is
// left to the system to write out: its contents were copied whole.
DWORD flushByReopening(const std::wstring& path, DWORD attributes);

// Links `to` to the same file at `rel` in the copy `options` shares from, when that file is
// unchanged: the source file (`attributes`, `written`, `size`, and `source` where it could be
// read) as CopyOptions says. Returns 0 when linked, else the reason (ERROR_FILE_NOT_FOUND: no
// match).
DWORD linkFromPrevious(const CopyOptions& options, const std::wstring& to,
                       const std::filesystem::path& rel, DWORD attributes, const FILETIME& written,
                       std::uint64_t size, const EntryStat* source);

}  // namespace vantrel::win
