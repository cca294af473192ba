#pragma once
#include "Logger.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// One decimal digit in a death test's pattern, in whichever regular expressions this gtest matches those with:
// POSIX ones on Linux, its own simple ones on Windows.
std::string rxDigit();

// A log client that keeps every line and every call, in order.
class RecordingClient : public LoggerClient {
public:
    explicit RecordingClient(std::string tag = "client") : m_tag(std::move(tag)) {}
    void write(const std::string& line) override;
    void flush() override;

    std::vector<std::string> lines();
    // "<tag>.write" / "<tag>.flush" for every call, shared by all clients given the same journal.
    void journalTo(std::vector<std::string>* journal, std::mutex* lock);
    void clear();
    // Lines that contain `text`.
    std::vector<std::string> linesWith(const std::string& text);
    // Waits up to `ms` for a line containing `text`.
    bool waitForLine(const std::string& text, int ms = 5000);

private:
    std::string m_tag;
    std::mutex m_lock;
    std::vector<std::string> m_lines;
    std::vector<std::string>* m_journal = nullptr;
    std::mutex* m_journalLock = nullptr;
};

// One recording client with mask 255, registered once per test process.
RecordingClient& sharedClient();

// Standard output of this process goes to `path` from now on (for the child of a death test: the Assert line is
// written to standard output, which death tests do not match). The child of a death test re-runs the test, so
// the path must not depend on the process.
void redirectStdoutTo(const std::string& path);
std::string readFile(const std::string& path);
// A name unique across this machine's test runs, for files and folders in the working directory.
std::string uniqueName(const std::string& prefix);

// Runs `body` on a thread of its own and waits up to `ms` for it. A body that does not return in time fails the
// test and ends the process at once: a hang fails within seconds, not at ctest's timeout.
void finishWithin(int ms, const std::string& what, const std::function<void()>& body);
// For the child of a death test: ends the process with code 99 when it is still running after `ms`.
constexpr int kStuckExitCode = 99;
void endProcessAfter(int ms);
