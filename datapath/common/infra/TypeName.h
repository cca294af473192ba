#pragma once
#include <typeinfo>

// The readable name of a type as the log shows it, "class FileLoggerClient". The text lives until the process ends.
const char* readableTypeName(const std::type_info& type);
