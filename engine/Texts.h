#pragma once

#include <chrono>
#include <string>

#include "platform/FileOps.h"

namespace vantrel {

// Texts every front end shows alike.

// Share of the copy done in thousandths, by bytes (by files when there are no bytes); -1 when
// there is no total to measure against.
int progressPermille(const CopyProgress& done, const TreeSize& total);
// "文件备份中…… 12/40 个文件，3.4 MB/10.0 MB"; without a total "文件备份中…… 12 个文件，3.4 MB".
std::string progressStatus(const CopyProgress& done, const TreeSize& total);
// "剩余约 3 分 5 秒", from the rate so far; empty until it can be told (2 seconds in).
std::string timeLeftText(const CopyProgress& done, const TreeSize& total,
                         std::chrono::milliseconds elapsed);

}  // namespace vantrel
