#pragma once
#include <functional>
#include <string>

// For the child of a death test, which the parent judges only by its exit code and standard error: every log line
// goes at once to the file `path`, for the parent to read. Any earlier file of that name is removed.
void logLinesToFile(const std::string& path);
// The child ends itself with `code` after `seconds`: a child that would hang fails the test instead.
void endChildAfter(int seconds, int code);
// Polls `condition` every 10 ms for up to `ms`.
bool waitUntil(const std::function<bool()>& condition, int ms);
// How often `text` occurs in `haystack`.
size_t countOf(const std::string& haystack, const std::string& text);

constexpr int kChildHung = 99;

// Runs `body` in a death-test child whose standard output (its log lines among it) goes to the file `out`; the child
// must end on the fatal stop, within 30 s. Returns what it printed.
std::string printedByFatalStop(const std::string& out, const std::function<void()>& body);
