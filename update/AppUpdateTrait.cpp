#include "update/AppUpdateTrait.h"

#include "app/StateMachine.h"
#include "app/TraitEvent.h"
#include "app/util/Log.h"
#include "app/ErrorCodes.h"
#include "update/AppUpdateThread.h"
#include "update/ProgressTable.h"

#include <atomic>

namespace {

const log4cplus::Logger& traitLogger() {
    static const log4cplus::Logger logger = Kestrel::Log::logger("kestrel.traits.update");
    return logger;
}

std::atomic<AppUpdateTrait::EventPoster> eventPoster{&postTraitEvent};

} // namespace

AppUpdateTrait::AppUpdateTrait(StateMachine& machine) : machine(machine) {}

AppUpdateTrait::AppUpdateTrait() : AppUpdateTrait(StateMachine::instance()) {}

void AppUpdateTrait::setEventPoster(EventPoster poster) {
    eventPoster.store(poster != nullptr ? poster : &postTraitEvent);
}

bool AppUpdateTrait::dispatchEndOfUpdate(StateMachine& machine, int code, int value) {
    if (code != Kestrel::kProgressUpdateEnd)
        return false;
    if (value != 0)
        machine.dispatch(sigError, value);
    else
        machine.dispatch(sigDone);
    return true;
}

int AppUpdateTrait::startUpdate() {
    KESTREL_DEBUG(traitLogger(), "AppUpdateTrait::startUpdate()");
    if (!Kestrel::AppUpdateThread::start(machine, *this)) {
        KESTREL_ERROR(traitLogger(), "Cannot create update thread");
        return Kestrel::kResultUpdateThreadFailed;
    }
    return 0;
}

int AppUpdateTrait::progress(int code, int value) {
    KESTREL_DEBUG(traitLogger(), "AppUpdateTrait::progress(" << code << ", " << value << ")");
    eventPoster.load()(TraitEvent(ctetProgress, code, value, 0));
    return 0;
}
