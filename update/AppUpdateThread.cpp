#include "update/AppUpdateThread.h"

#include "update/UpdateProcess.h"

#include <system_error>
#include <thread>

namespace Kestrel {

AppUpdateThread::AppUpdateThread(StateMachine& machine, UpdateTrait& trait)
    : machine(machine), trait(trait) {}

bool AppUpdateThread::start(StateMachine& machine, UpdateTrait& trait) {
    try {
        std::thread([&machine, &trait] { AppUpdateThread(machine, trait).run(); }).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void AppUpdateThread::run() {
    UpdateProcess::run(machine, trait);
}

} // namespace Kestrel
