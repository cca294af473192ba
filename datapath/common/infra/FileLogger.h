#pragma once
#include "HeapMemoryAllocationTracker.h"
#include "Logger.h"
#include "CountedWatchedContainer.h"
#include "Mutex.h"
#include "ThreadWrapper.h"
#include "Trigger.h"
#include "Types.h"

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <queue>
#include <string>
#include <vector>

// A rotating log file: lines are copied within a memory budget, queued and written in order by a writer thread
// (or written at once in the synchronous mode). The live file is base + ".txt"; past 10 MiB it is renamed to
// base + a six-digit index + ".txt" and the oldest numbered files beyond the maximum are removed.
class GenFileLogger : public ThreadWrapper {
public:
    // A copy of one line; a null `data` is a flush marker whose `length` is its sequence number.
    struct LogItem {
        s8* data;
        u64 length;
    };

    static constexpr u64 kRotateAboveBytes = 0xA00000;

    GenFileLogger(const std::string& path, u32 budgetMiB);
    ~GenFileLogger() override;

    void write(const char* data, u64 length);
    void run() override;

    std::string getFileName(u32 index, bool compressed) const;
    static u32 getFileIndex(const std::string& name, size_t prefixLength);
    // The folder of a log path: before the later of the last '/' and '\' when the path holds a '\', else ".".
    static std::string logFolderOf(const std::string& path);

    const std::string& basePath() const { return m_basePath; }
    bool isEnabled() const { return enabled.load(); }

protected:
    friend struct FileLoggerProbe;  // tests

    void enqueue(s8* copy, u64 length);
    void pushLocked(s8* copy, u64 length);
    void giveWriterAMoment();
    // Copies a line whose bytes the budget already counts, and queues the copy.
    void copyAndEnqueue(const char* data, u32 length);
    // Queues a flush marker and returns its sequence number.
    u64 queueFlushMarker();
    // Waits until the writer has passed the marker; false when `waitMs` (0: no limit) ran out first.
    bool waitForMarker(u64 sequence, u32 waitMs);
    void rotate();
    bool openFile();
    bool listFiles(std::vector<std::string>& out);
    void removeFile(const std::string& name);
    void renameFile(const std::string& from, const std::string& to);
    void pauseOnOom();
    void startWriter();
    bool onWriterThread() const;

    i32 maxFiles = 1000;
    std::atomic<bool> enabled{true};
    std::vector<char> m_streamBuffer = std::vector<char>(256 * 1024);  // before the stream: it outlives it
    std::ofstream m_stream;
    std::string m_basePath;
    std::string m_logFolder;
    Mutex m_fileLock;
    bool compressOnRotate = false;
    bool flushEveryLine = true;
    bool asyncFlushEveryLine = false;
    Mutex m_queueLock;
    CountedWatchedContainer<std::queue<LogItem>> m_queue;
    Trigger m_writerEvent;
    bool m_writerWaiting = false;  // under the queue lock: the writer waits on m_writerEvent
    bool m_writerNapping = false;  // under the queue lock: the writer naps on m_writerNap
    std::condition_variable_any m_writerNap;
    HeapMemoryAllocationTracker* m_tracker = nullptr;
    u32 flushMaxPeriodMs = 60000;

private:
    // Writes under the file lock, rotating first when the live file has passed the limit.
    void writeToFileLocked(const char* data, u64 length);
    // A failed stream (a reopen that failed, a full disk) is retried at most about once a second.
    bool streamUsableLocked();
    void reportStreamFailureLocked();
    // About once a second, or whenever `now`: closes the stream when the live file it writes to was removed or
    // replaced; the lines written since the last check found it in place are written again to the new file.
    void checkLiveFileLocked(bool now = false);
    // An explicit flush (a marker): the live file is checked first, so a run's last lines never end in a file
    // that was removed since the last check.
    void flushMarkerLocked();
    // Reports a failed stream once, and clears the report once lines are written again.
    void checkStreamLocked();
    void flushStreamLocked();
    void advancePosition(const char* data, u64 length);
    void markFlushed(u64 sequence);
    // Count-only mode keeps the copies of short lines in blocks of one size that the writer hands back for reuse:
    // a block taken on a producer and freed on the writer would make both contend in the C runtime's allocator.
    bool recycled(u64 length) const { return m_recycleBlocks && length <= kRecycledLineBytes; }
    void releaseCopy(s8* copy, u64 length);
    // The writer's share of the budget and of the guard's count, returned in runs instead of line by line.
    void settleReleased();

    static constexpr u64 kRecycledLineBytes = 248;
    static constexpr size_t kMaxSpareBlocks = 4096;
    static constexpr u64 kSettleBytes = 16 * 1024;
    const bool m_recycleBlocks;
    std::vector<s8*> m_spareBlocks;     // under the queue lock
    std::vector<s8*> m_releasedBlocks;  // the writer's, handed over at its next turn on the queue
    u64 m_releasedBytes = 0;            // the writer's: line bytes not yet returned to the budget
    u64 m_releasedGuardBytes = 0;       // the writer's: bytes not yet taken off the guard's count

    // Flush markers carry a sequence number: a flush returns only once the writer has passed its own marker,
    // never on a post left over by a pause notice or by an earlier flush that timed out.
    std::atomic<u64> m_nextMarker{0};
    std::mutex m_markerLock;
    std::condition_variable m_markerPassed;
    u64 m_lastMarkerPassed = 0;
    std::atomic<u32> m_writerThreadId{0};
    u64 m_lastReopenAttemptMs = 0;
    u64 m_lastLiveCheckMs = 0;
    u32 m_linesUntilClock = 0;  // lines the writer writes before it reads the clock again
    u64 m_liveIdentity = 0;  // of the file the stream writes to (fileIdentity)
    // What was written since the live file was last found in place, up to a limit, and what did not fit; written
    // again when the check finds the file gone.
    std::string m_unverified;
    u64 m_unverifiedDropped = 0;
    bool m_rewritePending = false;
    u64 m_position = 0;  // of the live stream, in bytes on disk
    bool m_streamFailureReported = false;
};

class FileLoggerClient : public LoggerClient, public GenFileLogger {
public:
    // The third argument is not used.
    FileLoggerClient(const std::string& path, u32 budgetMiB, u64 ignored, const std::string& bannerName);

    void write(const std::string& line) override;
    void flush() override;
};
