#include "update/AppUpdateThread.h"

#include "update/UpdateProcess.h"

#include <new>
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
    } catch (const std::bad_alloc&) {
        // No memory for the thread's state: as much a failed start as a refused thread.
        return false;
    }
}

void AppUpdateThread::run() {
    UpdateProcess::run(machine, trait);
}

} // namespace Kestrel
