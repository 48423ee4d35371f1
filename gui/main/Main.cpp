#include "gui/ProgramEntry.h"
#include "platform/Process.h"

int main(int argc, char** argv) {
    platform::setProcessDefaults();
    return Kestrel::runProgram(argc, argv);
}
