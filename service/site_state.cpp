#include "service/site_state.h"

#include <utility>

void SiteStateHolder::Publish(std::shared_ptr<const SiteState> state) {
    if (!state) state = std::make_shared<const SiteState>();
    // The old snapshot is released outside the lock: a reader still holding
    // it keeps it alive, and freeing a large one never stalls the other side.
    std::shared_ptr<const SiteState> old;
    {
        std::lock_guard<std::mutex> lock(mu_);
        old = std::exchange(state_, std::move(state));
    }
}

std::shared_ptr<const SiteState> SiteStateHolder::Get() const {
    std::lock_guard<std::mutex> lock(mu_);
    return state_;
}
