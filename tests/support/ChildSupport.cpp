#include "ChildSupport.h"

#include "FatalStop.h"
#include "Logger.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

class FileLinesClient : public LoggerClient {
public:
    explicit FileLinesClient(std::FILE* file) : m_file(file) {}
    void write(const std::string& line) override {
        std::fwrite(line.data(), 1, line.size(), m_file);
        std::fflush(m_file);
    }

private:
    std::FILE* m_file;
};

}  // namespace

void logLinesToFile(const std::string& path) {
    std::remove(path.c_str());
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) std::_Exit(98);
    Logger::instance()->registerClient(new FileLinesClient(file), 255);
}

void endChildAfter(int seconds, int code) {
    std::thread([seconds, code] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        std::fflush(nullptr);
        std::_Exit(code);
    }).detach();
}

bool waitUntil(const std::function<bool()>& condition, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

size_t countOf(const std::string& haystack, const std::string& text) {
    size_t count = 0;
    for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size())) ++count;
    return count;
}

std::string printedByFatalStop(const std::string& out, const std::function<void()>& body) {
    EXPECT_EXIT(
        {
            endChildAfter(30, kChildHung);
            redirectStdoutTo(out);
            body();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(kFatalStopExitCode), "");
    return readFile(out);
}
