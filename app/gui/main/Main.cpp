#include "app/gui/ProgramEntry.h"

int main(int argc, char** argv) {
    return Kestrel::runProgram(argc, argv);
}
