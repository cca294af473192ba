#pragma once
#include <string>

// The log's function column follows the Windows compiler's plain names ("Class::method", "wmain",
// "Class::method::<lambda_1>::operator ()"). This turns g++'s or clang's __PRETTY_FUNCTION__ into that form.
std::string plainFunctionName(const char* prettyFunction);

// The class and method columns of a log line, "Class,method" (",wmain" for a free function).
std::string normaliseFunctionName(const std::string& functionName);
