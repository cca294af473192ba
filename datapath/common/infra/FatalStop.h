#pragma once

// Exit code of the fatal stop, the one the Windows runtime's abort gives.
constexpr int kFatalStopExitCode = 3;

// Ends the process at once: standard output and error are flushed, no destructor or exit handler runs.
[[noreturn]] void fatalStop();
