#pragma once
#include "FileLogger.h"
#include "TestSupport.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

// Lets a test hold a file logger's file lock (so its writer stalls) and see its budget. A subclass would not do:
// the writer thread starts at the end of the client's constructor and must see the complete object.
struct FileLoggerProbe {
    static IMutex& fileLock(GenFileLogger* logger) { return logger->m_fileLock; }
    static HeapMemoryAllocationTracker& tracker(GenFileLogger* logger) { return *logger->m_tracker; }
    static void setFlushWaitMs(GenFileLogger* logger, u32 ms) { logger->flushMaxPeriodMs = ms; }
    // How often the writer checks its live file between explicit flushes (which always check).
    static void setLiveCheckIntervalMs(GenFileLogger* logger, u64 ms) {
        ScopedLock lock(&logger->m_fileLock);
        logger->m_liveCheckIntervalMs = ms;
    }
    static size_t queued(GenFileLogger* logger) {
        ScopedLock lock(&logger->m_queueLock);
        return logger->m_queue.size();
    }
};
using ProbeLogger = FileLoggerClient;
inline IMutex& fileLockOf(GenFileLogger* logger) { return FileLoggerProbe::fileLock(logger); }
inline HeapMemoryAllocationTracker& trackerOf(GenFileLogger* logger) { return FileLoggerProbe::tracker(logger); }
inline size_t queuedIn(GenFileLogger* logger) { return FileLoggerProbe::queued(logger); }

// A producer writing one line after another until the logger's budget pauses it (at most `most` lines): the whole
// time to the pause and the slowest single line, in milliseconds. The caller asserts that the pause came.
struct TimeToPause {
    double totalMs = 0;
    double slowestMs = 0;
    size_t lines = 0;  // written, the one that paused included
};
inline TimeToPause timeToPause(ProbeLogger* logger, const std::string& line, size_t most) {
    using Ms = std::chrono::duration<double, std::milli>;
    TimeToPause took;
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < most && !trackerOf(logger).paused(); ++i) {
        const auto before = std::chrono::steady_clock::now();
        logger->write(line);
        ++took.lines;
        took.slowestMs = std::max(took.slowestMs, Ms(std::chrono::steady_clock::now() - before).count());
    }
    took.totalMs = Ms(std::chrono::steady_clock::now() - start).count();
    return took;
}

// Holds a lock on a thread of its own (a lock is released by the thread that took it) until released.
class LockHolder {
public:
    explicit LockHolder(IMutex& lock);
    ~LockHolder();
    void releaseAfter(int ms);

private:
    std::thread m_thread;
    std::promise<void> m_taken;
    std::promise<int> m_release;
    bool m_released = false;
};

void setTweak(const std::string& name, const std::string& value);
// Bytes the process has taken from the heap and not returned; false where there is no such count.
bool heapInUse(size_t& bytes);
// A fresh folder for one logger; the base path is "<folder>\log".
struct LogFolder {
    LogFolder();
    std::string folder;
    std::string base;
    std::string live() const { return base + ".txt"; }
    std::string numbered(const std::string& index, bool gz = false) const {
        return base + index + ".txt" + (gz ? ".gz" : "");
    }
    // Names of the regular files in the folder, sorted.
    std::vector<std::string> files() const;
};

// File contents with the Windows runtime's text-mode line ends folded back.
std::string fileText(const std::string& windowsPath);
unsigned long long fileSize(const std::string& windowsPath);
bool fileExists(const std::string& windowsPath);
// A file that starts with `text` and is `size` bytes long (sparse where the system allows).
void makeFile(const std::string& windowsPath, const std::string& text, unsigned long long size = 0);
