#pragma once
#include <string>

// A value from outside the process (the command line, the launcher's dialog, a VSS writer's name, a tweak file) as
// one log record: a line end inside it would end the record and let the rest pass for a record of its own, so CR
// and LF are written as "\r" and "\n". For the log only; the value itself goes on unchanged.
std::string visibleLineEnds(const std::string& text);
