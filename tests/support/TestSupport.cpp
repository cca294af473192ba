#include "TestSupport.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <memory>
#include <iostream>
#include <sstream>
#include <thread>
#include <io.h>

std::string rxDigit() {
    static const bool simple = ::testing::internal::RE::FullMatch("7", ::testing::internal::RE("\\d"));
    return simple ? "\\d" : "[0-9]";
}

void RecordingClient::write(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.push_back(line);
    }
    if (m_journal) {
        std::lock_guard<std::mutex> lock(*m_journalLock);
        m_journal->push_back(m_tag + ".write");
    }
}

void RecordingClient::flush() {
    if (m_journal) {
        std::lock_guard<std::mutex> lock(*m_journalLock);
        m_journal->push_back(m_tag + ".flush");
    }
}

std::vector<std::string> RecordingClient::lines() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lines;
}

void RecordingClient::journalTo(std::vector<std::string>* journal, std::mutex* lock) {
    m_journalLock = lock;
    m_journal = journal;
}

void RecordingClient::clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_lines.clear();
}

std::vector<std::string> RecordingClient::linesWith(const std::string& text) {
    std::vector<std::string> found;
    for (const auto& line : lines()) {
        if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
}

bool RecordingClient::waitForLine(const std::string& text, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (!linesWith(text).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

RecordingClient& sharedClient() {
    static RecordingClient* client = [] {
        auto* c = new RecordingClient("shared");
        Logger::instance()->registerClient(c, 255);
        return c;
    }();
    return *client;
}

void redirectStdoutTo(const std::string& path) {
    std::cout.flush();
    std::fflush(stdout);
    int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0644);
    _dup2(fd, 1);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string uniqueName(const std::string& prefix) {
    // Process ids come back (quickly so under Wine): the start time keeps a rerun's names apart from the last run's.
    static const long long started =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count() %
        1000000000LL;
    static int counter = 0;
    std::ostringstream name;
    name << prefix << "_" << GetCurrentProcessId() << "_" << started << "_" << ++counter;
    return name.str();
}

void finishWithin(int ms, const std::string& what, const std::function<void()>& body) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([body, done] {
        body();
        done->set_value();
    }).detach();
    if (finished.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready) return;
    ADD_FAILURE() << what << " did not return within " << ms << " ms";
    std::cout.flush();
    std::fflush(stdout);
    std::_Exit(1);
}

void endProcessAfter(int ms) {
    std::thread([ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        std::cerr << "still running after " << ms << " ms" << std::endl;
        std::_Exit(kStuckExitCode);
    }).detach();
}
