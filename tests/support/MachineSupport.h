#pragma once
#include <string>

// On Linux, points the stand-in's machine state at a fresh folder in the working directory, for this process and
// the processes it starts; on Windows the test runs against the machine itself and this does nothing.
void useOwnMachineState(const std::string& prefix);

// Sets an environment variable of this process, inherited by what it starts; an empty value removes it.
void setEnvironment(const std::string& name, const std::string& value);
std::string environment(const std::string& name);
// Puts `folder` first on PATH.
void prependToPath(const std::string& folder);
// The character between the folders of PATH.
char pathListSeparator();

// A path below the machine's common application-data folder as this process opens it, `relative` separated by '/':
// on Linux in the stand-in's machine `standinRoot`; on Windows in the machine's own folder, with its separators.
std::string commonAppDataPath(const std::string& standinRoot, const std::string& relative);

// The folder of the programs that stand in for system tools (bcdedit).
std::string testToolsFolder();
