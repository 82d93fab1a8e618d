#include "platform/child_process.h"

#include <utility>

namespace zuvelo::platform {

ChildProcess::~ChildProcess() { KillGroup(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept = default;

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        KillGroup();
        state_ = std::move(other.state_);
        output_ = std::move(other.output_);
    }
    return *this;
}

bool ChildProcess::Running() const { return state_ != nullptr; }

}  // namespace zuvelo::platform
