#pragma once
#include "HeapMemoryAllocationTracker.h"
#include "LiveFile.h"
#include "Logger.h"
#include "CountedWatchedContainer.h"
#include "Mutex.h"
#include "ThreadWrapper.h"
#include "Trigger.h"
#include "Types.h"

#include <atomic>
#include <condition_variable>
#include <deque>
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
    // True when `from` was renamed; a missing `from` is no error.
    bool renameFile(const std::string& from, const std::string& to);
    void pauseOnOom();
    void startWriter();
    bool onWriterThread() const;

    i32 maxFiles = 1000;
    std::atomic<bool> enabled{true};
    // The live file, appended to from a buffer of whole lines: a failed write (a full disk) leaves no piece of a
    // line on disk and nothing to be written twice.
    LiveFile m_file;
    bool m_fileFailed = true;  // no usable live file: lines are dropped until it is reopened
    std::vector<char> m_buffer = std::vector<char>(256 * 1024);
    size_t m_buffered = 0;
    std::vector<size_t> m_lineEnds;  // in the buffer, the end of each line
    u64 m_written = 0;               // where the live file ended after this logger's last write to it
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
    // Appends one line to the buffer (written out when it is full).
    void appendLocked(const char* data, u64 length);
    // Writes the buffer out; on a failure only whole lines stay on disk, the rest is dropped and the file failed.
    bool writeBufferLocked();
    void closeFileLocked();
    // Gives up the open live file (replaced, failed or due for rotation): when it was removed (no name left to it),
    // the newest of this logger's own lines that went into it since it was last found in place are kept to be
    // written to the new file.
    void leaveLiveFileLocked();
    void foundInPlace();
    void noteOwnWrite(u64 start, u64 length);
    // The live file really ends at `realEnd`: the writes whose positions were taken as following each other are
    // confirmed, or, when the end is elsewhere, given up as of unknown place.
    void confirmPositionsLocked(u64 realEnd);
    void confirmPositionsFromSizeLocked();
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
    // Writes `size` bytes whose lines end at the offsets `ends`; on a failure only the whole lines written stay.
    bool writeLinesLocked(const char* data, size_t size, const size_t* ends, size_t lines);
    void markFlushed(u64 sequence);
    // Count-only mode keeps the copies of short lines in chunks that the writer hands back for reuse: a copy taken
    // on a producer and freed on the writer would make both contend in the C runtime's allocator.
    bool recycled(u64 length) const { return m_recycleBlocks && length <= kRecycledLineBytes; }
    void releaseCopy(s8* copy, u64 length);
    s8* newChunk();
    // Under the queue lock, on the writer: the chunks begun since its last turn, which its new lines are in.
    void takeStartedChunksLocked();
    void deleteChunk(s8* chunk);
    // The writer's share of the budget and of the guard's count, returned in runs instead of line by line.
    void settleReleased();

    static constexpr u64 kRecycledLineBytes = 1024;
    // Short lines are copied one after another into chunks, taken and retired in queue order: the memory they hold
    // is the queued bytes plus at most a chunk being filled, one being written and the spares.
    static constexpr size_t kChunkBytes = 32 * 1024;
    static constexpr size_t kMaxSpareChunks = 2;
    static constexpr u64 kSettleBytes = 16 * 1024;
    const bool m_recycleBlocks;
    std::vector<s8*> m_spareChunks;  // under the queue lock
    s8* m_fillChunk = nullptr;       // under the queue lock: the chunk copies go into
    size_t m_fillUsed = 0;
    std::vector<s8*> m_startedChunks;  // under the queue lock: chunks begun since the writer's last turn, in order
    // The writer's: chunks its lines are in, the one it writes from first, and those written (handed over at its
    // next turn on the queue).
    std::vector<s8*> m_writerChunks;
    size_t m_writerChunkNext = 0;
    s8* m_writeChunk = nullptr;
    std::vector<s8*> m_releasedChunks;
    std::atomic<i64> m_writerProgressAt{0};  // steady-clock ticks when the writer last returned budget
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
    u64 m_liveIdentity = 0;  // of the file the stream writes to (LiveFile::identityOf)
    // Where this logger's own writes landed in the live file since it was last found in place (other writers' lines
    // may stand between them): the newest, up to the most kept, and how many bytes before them are not kept.
    struct OwnWrite {
        u64 start;
        u64 length;
    };
    std::deque<OwnWrite> m_ownWrites;
    u64 m_ownBytes = 0;
    u64 m_ownDropped = 0;
    u64 m_unconfirmedBytes = 0;  // the newest of them, written where the file was taken to end
    std::atomic<u64> m_bufferHeldSinceMs{0};  // when the buffer's oldest line went in; 0: the buffer is empty
    bool m_sharedSeen = false;  // another writer's bytes were found: each write's position is asked for
    bool m_foreignSinceCheck = false;
    u64 m_liveCheckIntervalMs = 1000;
    // The newest of what went into a removed live file since it was last found in place, written to the new one,
    // and how many bytes before it are lost.
    std::string m_unverified;
    u64 m_unverifiedDropped = 0;
    bool m_rewritePending = false;
    u64 m_position = 0;  // of the live stream, in bytes on disk
    bool m_streamFailureReported = false;
    bool m_renameFailureReported = false;
    u64 m_rotateRetryAtMs = 0;  // a refused rename of the live file is tried again from then on
};

class FileLoggerClient : public LoggerClient, public GenFileLogger {
public:
    // The third argument is not used.
    FileLoggerClient(const std::string& path, u32 budgetMiB, u64 ignored, const std::string& bannerName);

    void write(const std::string& line) override;
    void flush() override;
};
