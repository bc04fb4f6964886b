#pragma once

#include <stdexcept>
#include <string>

namespace vantrel {

// An engine failure whose text (UTF-8) is what the user reads.
class BackupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vantrel
