#include "platform/RunLock.h"

#include <utility>

namespace vantrel {

RunLock::RunLock(RunLock&& other) noexcept : m_handle(std::exchange(other.m_handle, -1)) {}

RunLock& RunLock::operator=(RunLock&& other) noexcept {
    if (this != &other) {
        release();
        m_handle = std::exchange(other.m_handle, -1);
    }
    return *this;
}

RunLock::~RunLock() {
    release();
}

}  // namespace vantrel
