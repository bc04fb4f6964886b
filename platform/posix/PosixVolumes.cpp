#include "platform/Volumes.h"

namespace vantrel {

namespace {

class PosixVolumes final : public Volumes {
public:
    std::optional<VolumeIdentity> volumeOf(const std::filesystem::path&) override { return {}; }
    std::optional<std::filesystem::path> rootOf(std::string_view) override { return {}; }
    std::optional<std::filesystem::path> networkPathOf(const std::filesystem::path&) override {
        return {};
    }
};

}  // namespace

Volumes& systemVolumes() {
    static PosixVolumes volumes;
    return volumes;
}

}  // namespace vantrel
