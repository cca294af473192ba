#pragma once

namespace platform {
// The Windows runtime's system(): runs `command` through the interpreter named by COMSPEC (here a POSIX shell, given
// "-c" and the line) and waits for it. When COMSPEC is unset or cannot be started, the default interpreter runs it.
// Returns the command's exit code, or -1 with errno when no interpreter starts. A null command asks whether an
// interpreter exists (non-zero when one does). The child is reaped here, whatever SIGCHLD is set to elsewhere.
int runtimeSystem(const char* command);
}
