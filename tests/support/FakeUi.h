#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/run/BackupUi.h"

namespace vantrel::test {

// Records what the engine showed, in order.
class FakeUi final : public BackupUi {
public:
    void setStatus(std::string_view text) override { statuses.emplace_back(text); }
    void showMessage(std::string_view text) override { messages.emplace_back(text); }
    void showProgress(const CopyProgress& p) override { lastProgress = p; }

    std::string lastStatus() const { return statuses.empty() ? std::string() : statuses.back(); }

    std::vector<std::string> statuses;
    std::vector<std::string> messages;
    CopyProgress lastProgress;
};

}  // namespace vantrel::test
