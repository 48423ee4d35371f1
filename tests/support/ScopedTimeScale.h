#pragma once

#include "platform/Clock.h"

namespace testsupport {

// Runs a test at `scale` for as long as it lives and puts back the scale before it on every way
// out, an ASSERT that ends the test early included, so that no later test of the same program
// inherits it. A fixture keeps one as its first member, to be destroyed last.
class ScopedTimeScale {
public:
    explicit ScopedTimeScale(double scale) : previous_(platform::timeScale()) {
        platform::overrideTimeScale(scale);
    }
    ~ScopedTimeScale() { platform::overrideTimeScale(previous_); }
    ScopedTimeScale(const ScopedTimeScale&) = delete;
    ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;

private:
    double previous_;
};

} // namespace testsupport
