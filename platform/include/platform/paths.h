// Where the programs' Windows paths ('\' separators) become paths of this system.
#pragma once
#include <string>

namespace platform {
// '\' becomes '/'; a drive path ("C:\...") lives below standinRoot() ("<root>/drive_c/...").
std::string nativePath(const std::string& windowsPath);

// The Windows runtime's rename: an existing target is never replaced (errno EACCES, as that runtime reports it).
int runtimeRename(const char* from, const char* to);
}

namespace platform {
// The folder under which the stand-in keeps the state of its "machine": drives, registry, services, named objects.
// Taken from the environment variable TALVO_STANDIN_ROOT (so child processes share their parent's machine), else
// "/tmp/talvo-standin". Read at each call: a test may point it elsewhere before it starts anything.
std::string standinRoot();
}
