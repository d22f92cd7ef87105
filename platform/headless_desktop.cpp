// The headless desktop: a session with nobody at it. No other application
// runs, no window is on screen, and the host's own state is kept so that
// what the host reads back is what it set.
#include "platform/desktop.h"

namespace platform {

namespace {
class HeadlessDesktop final : public Desktop {
public:
    std::optional<std::vector<nlohmann::json>> onScreenWindows() override { return std::vector<nlohmann::json>{}; }
    std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
    // Nobody is at this desktop: no application ever becomes active.
    void observeActivations(std::function<void(const std::optional<RunningApplication>&)>) override {}
    void setActivationPolicy(ActivationPolicy policy) override { policy_ = policy; }
    ActivationPolicy activationPolicy() override { return policy_; }

private:
    ActivationPolicy policy_ = ActivationPolicy::regular;
};
}

std::unique_ptr<Desktop> makeHeadlessDesktop()
{
    return std::make_unique<HeadlessDesktop>();
}

} // namespace platform
