#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/records/FailedEntryCodec.h"

namespace vantrel {
namespace {

// The rows keep this text: a change to the encoding must still read it.
TEST(FailedEntryCodec, TheStoredTextStaysReadable) {
    const std::vector<FailedEntry> failed{{"/src/a\tb\\c", "Permission denied"},
                                          {"/src/line\r\nend", "原因\t二"}};
    const std::string text = "/src/a\\tb\\\\c\tPermission denied\n/src/line\\r\\nend\t原因\\t二\n";
    EXPECT_EQ(encodeFailed(failed), text);
    EXPECT_EQ(decodeFailed(text), failed);
    EXPECT_TRUE(decodeFailed("").empty());
}

}  // namespace
}  // namespace vantrel
