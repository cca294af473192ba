#include "FatalStop.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

void fatalStop() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(kFatalStopExitCode);
}
