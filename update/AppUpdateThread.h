#pragma once

class StateMachine;
struct UpdateTrait;

namespace Kestrel {

// The detached thread that runs one update and reports its end as notification 3.
class AppUpdateThread {
public:
    AppUpdateThread(StateMachine& machine, UpdateTrait& trait);

    // Creates the thread and runs the update on it; false when it cannot be created.
    static bool start(StateMachine& machine, UpdateTrait& trait);

    void run();

private:
    StateMachine& machine;
    UpdateTrait& trait;
};

} // namespace Kestrel
