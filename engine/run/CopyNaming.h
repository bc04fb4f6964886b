#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace vantrel {

// How a job names its copies: the source's last component, "_" and the run's date as eight
// digits, in the target folder ("/bak/data_20140515" for "/work/data" into "/bak/").

// SourcePath without the separators it ends in, unless it is a root ("/", "D:\").
std::string_view withoutTrailingSeparators(std::string_view path);

// The part of SourcePath from its last separator to its end, separator included
// ("/data" for "/work/data" and "/work/data/"); the whole text when it has no separator.
// On Windows both "\" and "/" are separators.
std::string NameTail(std::string_view sourcePath);

// TargetFolder + NameTail + "_" + yyyymmdd, joined with exactly one separator: a TargetFolder
// ending in a separator drops the one NameTail starts with, and a NameTail without one gets
// one.
std::string makeTargetPath(std::string_view sourcePath, std::string_view targetFolder,
                           LocalTime when);

// The source's last component, as its copies are named: NameTail without its separator.
std::string copyStem(std::string_view sourcePath);

// A text shaped "<stem>_yyyymmdd", split.
struct CopyName {
    std::string_view stem;    // everything before the "_"
    std::string_view digits;  // the eight digits of the date
};

// The parts of `text` when it ends in "_" and eight digits; none otherwise.
std::optional<CopyName> parseCopyName(std::string_view text);
// Whether the last component of `path` is shaped as a copy's name.
bool looksLikeCopy(std::string_view path);
// Whether `name` is the name of a copy of the source named `stem`.
bool isCopyOf(std::string_view name, std::string_view stem);

// The form in which two spellings of one path compare equal: normalised, without a trailing
// separator, and on Windows with one separator and case folded, as its file system compares
// names. Written, not resolved: links are not followed.
std::string pathKey(const std::filesystem::path& p);
// Whether `inner` is `outer` or lies below it, by their keys.
bool isWithin(const std::filesystem::path& inner, const std::filesystem::path& outer);

}  // namespace vantrel
