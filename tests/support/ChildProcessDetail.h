#pragma once
#include "ChildProcess.h"

#include <string>
#include <utility>
#include <vector>

// Shared by ChildProcess.cpp and the platform parts of the support (posix/, windows/).

// The environment changes with the last one given for a name winning.
std::vector<std::pair<std::string, std::string>> lastChangeOfEachName(const ChildOptions& options);

// A built program's path as this process opens it.
std::string builtProgram(const char* built);
