#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace vantrel {

// Texts the engine and every front end show alike, made in one place each.

// Dates and times, local. "20140515", as in copies' names.
std::string dateDigits(LocalTime when);
// "2014-05-15", as the records keep a run's date.
std::string dateText(std::chrono::year_month_day date);
std::string dateText(LocalTime when);
// "2014-05-15" from "20140515": a date named as copies name it, as the records keep it.
std::string dateTextOfDigits(std::string_view yyyymmdd);
// The date of "2014-05-15", as the records keep it; none when it is no such date.
std::optional<std::chrono::year_month_day> dateOfText(std::string_view text);
// "yyyy-mm-dd hh:mm:ss", as stored and shown; and back (none when malformed).
std::string formatLocalTime(LocalTime when);
std::optional<LocalTime> parseLocalTime(std::string_view text);

// The smallest unit a size is shown in.
enum class SizeUnit { B, KB, MB, GB, TB };
// `bytes` with one decimal in the largest unit, from `smallest` up to TB, that keeps the
// number below 1024 as printed (1 KB = 1024 B): "820.3 MB"; 1023.96 MB reads "1.0 GB".
// Below 1 KB with B the smallest unit, whole bytes: "512 B".
std::string sizeText(std::uint64_t bytes, SizeUnit smallest = SizeUnit::B);
// "1 小时 3 分", "2 分 5 秒", "7 秒".
std::string durationText(std::chrono::milliseconds duration);

// "3 项未能复制": entries a copy left out; with some of them carried over from the copy of
// the same day that it replaced, "3 项未能复制（其中 1 项保留了今天较早备份中的版本）".
std::string notCopiedText(std::size_t count, std::size_t carried = 0);
// Added to the reason of an entry carried over from the copy a run replaced.
inline constexpr std::string_view kCarriedOver = "已保留今天较早备份中的版本";
// A name as one line shows it, in UTF-8: control characters and bytes that are not UTF-8 as
// \xNN, so that no name prints as two lines or as bytes a terminal cannot read. Backslashes
// stay as they are: they separate a Windows path's names.
std::string escapedName(std::string_view name);
// "备份记录中的路径“…”不是本任务的备份": a record row whose place leads elsewhere.
std::string untrustedRecordText(std::string_view recordPath);

// Share of the copy done in thousandths, by bytes (by files when there are no bytes); -1 when
// there is no total to measure against.
int progressPermille(const CopyProgress& done, const TreeSize& total);
// "文件备份中…… 12/40 个文件，3.4 MB/10.0 MB"; without a total "文件备份中…… 12 个文件，3.4 MB".
// Status panel 1 while files are copied; progressStatus appends the counts to it.
inline constexpr std::string_view kCopyingStatus = "文件备份中……";
inline constexpr std::string_view kRestoringStatus = "正在恢复……";

// What the files being counted are doing: the status line starts with its verb.
enum class ProgressVerb { Backup, Restore };

std::string progressStatus(const CopyProgress& done, const TreeSize& total,
                           ProgressVerb verb = ProgressVerb::Backup);
// "剩余约 3 分 5 秒", from the rate so far; empty until it can be told (2 seconds in).
std::string timeLeftText(const CopyProgress& done, const TreeSize& total,
                         std::chrono::milliseconds elapsed);

}  // namespace vantrel
