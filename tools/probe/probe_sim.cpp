#include "tools/probe/probe_sim.h"

namespace probe {

SimLine::SimLine(rt::EventLoop& loop, std::vector<sim::Scenario> scenarios) {
    if (scenarios.empty()) scenarios.emplace_back();
    server_ = std::make_unique<sim::SimServer>(loop, scenarios.front());
    for (size_t i = 1; i < scenarios.size(); ++i)
        server_->controller().AddPeer(std::move(scenarios[i]));
}

}  // namespace probe
