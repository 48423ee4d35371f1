#pragma once

namespace Kestrel {

// The kestrel program: answers --help and --version at once, then runs the workflow in the
// application object that fits the command line: the console one with -q (no display needed),
// the GUI one otherwise. A command line the framework's parser refuses, or a mode that shows
// windows without a display, ends in the console object with one message on standard error and
// the framework's failure code.
int runProgram(int argc, char** argv);

} // namespace Kestrel
