#include "update/AppUpdateThread.h"

#include "update/UpdateProcess.h"

#include "app/StateMachine.h"

namespace Kestrel {

AppUpdateThread::AppUpdateThread(StateMachine& machine, UpdateTrait& trait)
    : machine(machine), trait(trait) {}

bool AppUpdateThread::start(StateMachine& machine, UpdateTrait& trait) {
    return machine.workers.start([&machine, &trait] { AppUpdateThread(machine, trait).run(); });
}

void AppUpdateThread::run() {
    UpdateProcess::run(machine, trait);
}

} // namespace Kestrel
