#include "FileLogger.h"

#include "DynamicTweaks.h"
#include "NativePath.h"
#include "Timer.h"
#include "TrackedAllocation.h"
#include "Tweaks.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

u64 steadyMs() {
    return static_cast<u64>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count());
}

constexpr u64 kReopenIntervalMs = 1000;
// How long the oldest buffered line may wait for more before the idle writer writes the buffer out.
constexpr u64 kWriteOutAfterMs = 10;
// A writer that took at least this many lines at once pauses briefly before it waits for a wake-up.
constexpr size_t kBusyBatchLines = 16;
constexpr u32 kLinesPerClockRead = 1024;
// The longest a producer waits for the writer to catch up, per line, once half the budget is queued; and how long
// the writer may return no budget (a rotation, a loaded machine's scheduling) before no producer waits for it.
constexpr std::chrono::microseconds kWriterCatchUp(200);
constexpr std::chrono::milliseconds kWriterStalledAfter(20);
// Lines queued before a producer wakes a napping writer.
constexpr size_t kWakeNappingWriterLines = 1024;
// The most written since the last live check that is kept to be written again: a second of an ordinary run.
constexpr u64 kUnverifiedLimitBytes = 1 << 20;

// Budget in bytes; all bits set means no practical limit, and so does anything past 32 bits.
u32 budgetBytes(u32 budgetMiB) {
    if (budgetMiB == 0xFFFFFFFFu) return 0xFFFFFFFFu;
    const u64 bytes = static_cast<u64>(budgetMiB) << 20;
    return bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<u32>(bytes);
}

}  // namespace

GenFileLogger::GenFileLogger(const std::string& path, u32 budgetMiB)
    : m_basePath(path), m_queue("FileLogger"), m_recycleBlocks(!MemShield::instance()->isEnabled()) {
    flushMaxPeriodMs = Tweaks::instance()->uintVal("t_TeskFlushFileMaxPeriodMs", 60000);
    const u32 percent = Tweaks::instance()->uintVal("t_percentOfLoggerMemoryforMinimalThreshold", 80);

    ScopedLock lock(&m_fileLock);
    const u32 limit = budgetBytes(budgetMiB);
    m_tracker = trackedNew<HeapMemoryAllocationTracker>(
        "HeapMemoryAllocationTracker", __FILE__, __LINE__, limit, HeapMemoryAllocationTracker::lowMarkFor(limit, percent),
        DynamicTweaks::instance()->t_disableLogMemoryAllocationTracking, m_basePath);

    maxFiles = Tweaks::instance()->intVal("t_GenFileLoggerMaxFiles", 1000);
    const i32 maxFilesOverride = Tweaks::instance()->intVal("t_FileLoggerMaxFilesOverride", 0);
    if (maxFilesOverride != 0) maxFiles = maxFilesOverride;
    enabled = true;

    m_logFolder = logFolderOf(m_basePath);
    if (!CreateDirectoryA(m_logFolder.c_str(), NULL)) {
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            std::cout << "Error creating directory (" << m_logFolder << ") for logs (rt=" << 0 << ")"
                      << "GetLastError " << error << std::endl;
        }
    }
    if (!openFile()) {
        std::cout << "failed to open logger file. going to work without logger" << std::endl;
        enabled = false;
    }
    m_lastReopenAttemptMs = steadyMs();
}

GenFileLogger::~GenFileLogger() {
    closeFileLocked();
    // A chunk may stand on more than one of the lists (the one being filled, the one being written).
    std::vector<s8*> chunks(m_spareChunks);
    chunks.insert(chunks.end(), m_releasedChunks.begin(), m_releasedChunks.end());
    chunks.insert(chunks.end(), m_writerChunks.begin() + static_cast<std::ptrdiff_t>(m_writerChunkNext),
                  m_writerChunks.end());
    chunks.insert(chunks.end(), m_startedChunks.begin(), m_startedChunks.end());
    chunks.push_back(m_writeChunk);
    chunks.push_back(m_fillChunk);
    std::sort(chunks.begin(), chunks.end());
    chunks.erase(std::unique(chunks.begin(), chunks.end()), chunks.end());
    for (s8* chunk : chunks) {
        if (chunk) deleteChunk(chunk);
    }
    trackedDelete(m_tracker, __FILE__, __LINE__);
}

std::string GenFileLogger::logFolderOf(const std::string& path) {
    const size_t backslash = path.rfind('\\');
    if (backslash == std::string::npos) return ".";
    const size_t slash = path.rfind('/');
    const size_t cut = std::max(slash == std::string::npos ? size_t(0) : slash, backslash);
    return path.substr(0, cut);
}

std::string GenFileLogger::getFileName(u32 index, bool compressed) const {
    std::ostringstream name;
    name << m_basePath << std::setw(6) << std::setfill('0') << index << ".txt";
    if (compressed) name << ".gz";
    return name.str();
}

u32 GenFileLogger::getFileIndex(const std::string& name, size_t prefixLength) {
    std::string rest = prefixLength <= name.size() ? name.substr(prefixLength) : std::string();
    rest = rest.substr(0, rest.find(".txt"));
    rest = rest.substr(0, rest.find(".gz"));
    // Only leading digits make an index: no sign, no blank. The largest u32 is no index either, so that the next
    // index (the highest + 1) never wraps to 0.
    u64 index = 0;
    for (size_t i = 0; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
        index = index * 10 + static_cast<u64>(rest[i] - '0');
        if (index >= 0xFFFFFFFFull) return 0;
    }
    return static_cast<u32>(index);
}

bool GenFileLogger::openFile() {
    closeFileLocked();
    if (!m_file.open(m_basePath + ".txt")) return false;
    LiveFile::State state;
    if (!m_file.state(state)) {
        closeFileLocked();
        return false;
    }
    m_fileFailed = false;
    m_written = state.size;
    m_position = state.size;
    m_liveIdentity = state.identity;
    foundInPlace();
    m_lastLiveCheckMs = steadyMs();
    if (m_rewritePending) {
        // The newest lines that went into the removed file since it was last found in place.
        m_rewritePending = false;
        for (size_t at = 0; at < m_unverified.size();) {
            size_t end = m_unverified.find('\n', at);
            end = end == std::string::npos ? m_unverified.size() : end + 1;
            appendLocked(m_unverified.data() + at, end - at);
            at = end;
        }
        if (m_unverifiedDropped > 0) {
            std::cerr << "log file " << m_basePath << ".txt was removed; " << m_unverifiedDropped
                      << " bytes written to it before are lost" << std::endl;
        }
    }
    m_unverified.clear();
    m_unverifiedDropped = 0;
    return true;
}

void GenFileLogger::closeFileLocked() {
    if (!m_file.isOpen()) return;
    if (!m_fileFailed) writeBufferLocked();
    m_file.close();
    m_fileFailed = true;
    m_bufferHeldSinceMs.store(0, std::memory_order_relaxed);
    m_buffered = 0;
    m_lineEnds.clear();
}

void GenFileLogger::foundInPlace() {
    m_ownWrites.clear();
    m_ownBytes = 0;
    m_ownDropped = 0;
    m_unconfirmedBytes = 0;
}

void GenFileLogger::confirmPositionsLocked(u64 realEnd) {
    if (realEnd == m_written) {
        m_unconfirmedBytes = 0;
        return;
    }
    // Another writer appended (or the file was cut) since the positions were last confirmed: where the writes since
    // then landed is not known, so they cannot be written again; from now on each write's position is asked for.
    m_foreignSinceCheck = true;
    m_sharedSeen = true;
    u64 unknown = m_unconfirmedBytes;
    m_unconfirmedBytes = 0;
    m_ownDropped += unknown;
    m_ownBytes -= unknown;
    while (unknown > 0 && !m_ownWrites.empty()) {
        const u64 cut = std::min(unknown, m_ownWrites.back().length);
        unknown -= cut;
        if ((m_ownWrites.back().length -= cut) == 0) m_ownWrites.pop_back();
    }
    m_written = realEnd;
}

void GenFileLogger::confirmPositionsFromSizeLocked() {
    LiveFile::State state;
    if (m_file.isOpen() && m_file.state(state)) confirmPositionsLocked(state.size);
}

void GenFileLogger::noteOwnWrite(u64 start, u64 length) {
    if (!m_ownWrites.empty() && m_ownWrites.back().start + m_ownWrites.back().length == start) {
        m_ownWrites.back().length += length;
    } else {
        m_ownWrites.push_back(OwnWrite{start, length});
    }
    m_ownBytes += length;
    // Only the newest bytes, up to the most that is kept, could be written again.
    while (m_ownWrites.size() > 1 && m_ownBytes - m_ownWrites.front().length > kUnverifiedLimitBytes) {
        m_ownBytes -= m_ownWrites.front().length;
        m_ownDropped += m_ownWrites.front().length;
        m_ownWrites.pop_front();
    }
}

void GenFileLogger::leaveLiveFileLocked() {
    if (!m_file.isOpen()) return;
    if (!m_fileFailed) writeBufferLocked();  // the buffered lines went into this file too
    LiveFile::State state;
    const bool known = m_file.state(state);
    if (known) confirmPositionsLocked(state.size);
    if (known && state.removed && m_ownBytes + m_ownDropped > 0) {
        // No name is left to the file: this logger's own bytes that went into it since it was last found in place
        // are read back where they landed (another writer's lines may stand between them) and written again; the
        // newest part of them when there is more, from the start of a line.
        const u64 wanted = std::min<u64>(m_ownBytes, kUnverifiedLimitBytes + 1);  // and the byte before
        std::string kept;
        u64 skip = m_ownBytes - wanted;
        bool complete = true;
        for (const OwnWrite& own : m_ownWrites) {
            if (skip >= own.length) {
                skip -= own.length;
                continue;
            }
            std::string part;
            if (!m_file.readAt(own.start + skip, static_cast<size_t>(own.length - skip), part)) {
                complete = false;
                break;
            }
            kept += part;
            skip = 0;
        }
        if (!complete) {
            kept.clear();
        } else if (wanted < m_ownBytes) {  // begun inside a write
            const size_t lineStart = kept.find('\n');
            kept.erase(0, lineStart == std::string::npos ? kept.size() : lineStart + 1);
        }
        m_unverifiedDropped += m_ownDropped + m_ownBytes - kept.size();
        m_unverified += kept;
        m_rewritePending = true;
    }
    m_file.close();
    foundInPlace();
    m_fileFailed = true;
    m_bufferHeldSinceMs.store(0, std::memory_order_relaxed);
    m_buffered = 0;
    m_lineEnds.clear();
    m_lastReopenAttemptMs = 0;
}

void GenFileLogger::startWriter() {
    if (enabled) open();
}

bool GenFileLogger::onWriterThread() const {
    const u32 writer = m_writerThreadId.load();
    return writer != 0 && writer == GetCurrentThreadId();
}

void GenFileLogger::write(const char* data, u64 length) {
    if (!enabled) return;
    if (length > 0xFFFFFFFFull) return;  // the budget counts in 32 bits
    if (flushEveryLine) {
        ScopedLock lock(&m_fileLock);
        writeToFileLocked(data, length);
        flushStreamLocked();
        return;
    }
    bool pausedByThisCall = false;
    if (!m_tracker->trackingDisabled() && m_tracker->usedBytes() > m_tracker->limitBytes() / 2) giveWriterAMoment();
    const bool counted = m_tracker->trackingDisabled()
                             ? m_tracker->reserve(static_cast<u32>(length))
                             : m_tracker->reserveWithinBudget(static_cast<u32>(length), pausedByThisCall);
    if (!counted) {
        if (pausedByThisCall) pauseOnOom();
        return;
    }
    copyAndEnqueue(data, static_cast<u32>(length));
}

void GenFileLogger::giveWriterAMoment() {
    // Half the budget is queued: the producers are outrunning the writer. A short wait lets a writer that is making
    // progress catch up before the budget is spent and lines are dropped. A writer that has returned nothing for a
    // while is stalled (stuck in a write to a disk or pipe that does not answer): the producers then go on without
    // waiting, into the pause, until it moves again.
    if (onWriterThread()) return;
    const auto now = std::chrono::steady_clock::now();
    const auto until = now + kWriterCatchUp;
    auto lastProgress = [&] {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(m_writerProgressAt.load(std::memory_order_relaxed)));
    };
    for (auto t = now; t < until && t - lastProgress() < kWriterStalledAfter; t = std::chrono::steady_clock::now()) {
        if (m_tracker->usedBytes() <= m_tracker->limitBytes() / 2 || m_tracker->paused()) return;
        std::this_thread::yield();
    }
}

s8* GenFileLogger::newChunk() { return static_cast<s8*>(::operator new(kChunkBytes)); }

void GenFileLogger::deleteChunk(s8* chunk) { ::operator delete(chunk); }

void GenFileLogger::copyAndEnqueue(const char* data, u32 length) {
    if (!recycled(length)) {
        s8* copy = m_tracker->takeReserved(length);
        std::memcpy(copy, data, length);
        enqueue(copy, length);
        return;
    }
    // The guard counts what a tracked array of the line's length would take.
    MemShield::instance()->m_allocatedBytes.fetch_add(length + 8, std::memory_order_relaxed);
    s8* fresh = nullptr;
    for (;;) {
        {
            ScopedLock lock(&m_queueLock);
            if (!m_fillChunk || m_fillUsed + length > kChunkBytes) {
                s8* chunk = fresh;
                fresh = nullptr;
                if (!chunk && !m_spareChunks.empty()) {
                    chunk = m_spareChunks.back();
                    m_spareChunks.pop_back();
                }
                if (chunk) {
                    m_fillChunk = chunk;
                    m_fillUsed = 0;
                    m_startedChunks.push_back(chunk);
                }
            }
            if (m_fillChunk && m_fillUsed + length <= kChunkBytes) {
                // Copied under the lock: the chunks are filled in the order the writer takes the lines.
                s8* copy = m_fillChunk + m_fillUsed;
                m_fillUsed += length;
                std::memcpy(copy, data, length);
                pushLocked(copy, length);
                // Another producer began a chunk meanwhile: the one taken for this line is spare.
                if (fresh && m_spareChunks.size() < kMaxSpareChunks) {
                    m_spareChunks.push_back(fresh);
                    fresh = nullptr;
                }
                break;
            }
        }
        try {
            fresh = newChunk();
        } catch (...) {
            MemShield::instance()->m_allocatedBytes.fetch_sub(length + 8, std::memory_order_relaxed);
            m_tracker->cancel(length);
            throw;
        }
    }
    if (fresh) deleteChunk(fresh);
}

void GenFileLogger::releaseCopy(s8* copy, u64 length) {
    if (recycled(length)) {
        // The chunks are written in the order they were filled: a line outside the current one is in the next.
        const auto at = reinterpret_cast<uintptr_t>(copy);
        const auto begin = reinterpret_cast<uintptr_t>(m_writeChunk);
        if (!m_writeChunk || at < begin || at >= begin + kChunkBytes) {
            if (m_writeChunk) {
                if (m_releasedChunks.size() < kMaxSpareChunks) {
                    m_releasedChunks.push_back(m_writeChunk);
                } else {
                    deleteChunk(m_writeChunk);
                }
            }
            m_writeChunk = m_writerChunks[m_writerChunkNext++];
        }
        m_releasedGuardBytes += length + 8;
    } else {
        trackedArrayFree(copy, __FILE__, __LINE__);
    }
    m_releasedBytes += length;
    if (m_releasedBytes >= kSettleBytes) settleReleased();
}

void GenFileLogger::settleReleased() {
    if (m_releasedGuardBytes) MemShield::instance()->m_allocatedBytes.fetch_sub(m_releasedGuardBytes);
    m_releasedGuardBytes = 0;
    const u64 bytes = m_releasedBytes;
    m_releasedBytes = 0;
    if (bytes) {
        m_tracker->giveBack(bytes);
        m_writerProgressAt.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    }
}

void GenFileLogger::enqueue(s8* copy, u64 length) {
    ScopedLock lock(&m_queueLock);
    pushLocked(copy, length);
}

void GenFileLogger::pushLocked(s8* copy, u64 length) {
    m_queue.push(LogItem{copy, length});
    m_queue.noteSize();
    // The writer says under this lock how it waits; a wake-up per line would cost more than the line. A napping
    // writer is woken for a flush marker, or when the lines gathered would soon weigh on the budget.
    if (m_writerWaiting) {
        m_writerWaiting = false;
        m_writerEvent.set();
    } else if (m_writerNapping && (copy == nullptr || m_queue.size() >= kWakeNappingWriterLines)) {
        m_writerNapping = false;
        m_writerNap.notify_one();
    }
}

u64 GenFileLogger::queueFlushMarker() {
    const u64 sequence = m_nextMarker.fetch_add(1) + 1;
    enqueue(nullptr, sequence);
    return sequence;
}

void GenFileLogger::markFlushed(u64 sequence) {
    {
        std::lock_guard<std::mutex> lock(m_markerLock);
        if (sequence > m_lastMarkerPassed) m_lastMarkerPassed = sequence;
    }
    m_markerPassed.notify_all();
}

bool GenFileLogger::waitForMarker(u64 sequence, u32 waitMs) {
    std::unique_lock<std::mutex> lock(m_markerLock);
    auto passed = [&] { return m_lastMarkerPassed >= sequence; };
    if (waitMs == 0) {
        m_markerPassed.wait(lock, passed);
        return true;
    }
    return m_markerPassed.wait_for(lock, std::chrono::milliseconds(waitMs), passed);
}

void GenFileLogger::pauseOnOom() {
    std::ostringstream notice;
    Timer::printTime(notice, 3);
    notice << "," << m_basePath << "-pausing logger due to OOM" << "\n";
    const std::string text = notice.str();
    if (m_tracker->reserve(static_cast<u32>(text.size()))) copyAndEnqueue(text.data(), static_cast<u32>(text.size()));
    queueFlushMarker();
}

void GenFileLogger::run() {
    m_writerThreadId = GetCurrentThreadId();
    std::queue<LogItem> batch;
    std::vector<s8*> surplus;
    bool busy = false;
    for (;;) {
        bool wait = false;
        // Take everything queued at once: a lock round per line would make the producers wait for the writer.
        {
            ScopedLock lock(&m_queueLock);
            static_cast<std::queue<LogItem>&>(m_queue).swap(batch);
            m_queue.noteSize();
            takeStartedChunksLocked();
            // The chunks written since the last turn go back to the producers.
            const size_t room = kMaxSpareChunks - std::min(kMaxSpareChunks, m_spareChunks.size());
            if (m_releasedChunks.size() > room) {
                surplus.assign(m_releasedChunks.begin() + static_cast<std::ptrdiff_t>(room), m_releasedChunks.end());
                m_releasedChunks.resize(room);
            }
            m_spareChunks.insert(m_spareChunks.end(), m_releasedChunks.begin(), m_releasedChunks.end());
            m_releasedChunks.clear();
            if (batch.empty() && busy) {
                // Lines came in fast a moment ago: a short nap lets them gather, and spares the producers a
                // wake-up per run of lines.
                busy = false;
                m_writerNapping = true;
                m_writerNap.wait_for(m_queueLock, std::chrono::microseconds(200));
                m_writerNapping = false;
                static_cast<std::queue<LogItem>&>(m_queue).swap(batch);
                m_queue.noteSize();
                takeStartedChunksLocked();
            }
            // The buffer is written out once the queue is empty and its oldest line has waited a moment: lines
            // that trickle in still go out in batches.
            const u64 heldSince = m_bufferHeldSinceMs.load(std::memory_order_relaxed);
            const u64 heldFor = heldSince ? steadyMs() - heldSince : 0;
            if (batch.empty() && heldSince && heldFor < kWriteOutAfterMs) {
                m_writerNapping = true;
                m_writerNap.wait_for(m_queueLock, std::chrono::milliseconds(kWriteOutAfterMs - heldFor));
                m_writerNapping = false;
                static_cast<std::queue<LogItem>&>(m_queue).swap(batch);
                m_queue.noteSize();
                takeStartedChunksLocked();
            }
            if (batch.empty()) {
                m_writerWaiting = true;
                wait = true;
            }
        }
        for (s8* chunk : surplus) deleteChunk(chunk);
        surplus.clear();
        if (wait) {
            // The queue is empty: what the buffer holds goes to the file now, not when the buffer is full, so that a
            // process ended meanwhile loses no line it logged. A busy writer finds lines waiting and keeps batching.
            // An empty buffer needs no file lock, which another thread may hold for long.
            if (m_bufferHeldSinceMs.load(std::memory_order_relaxed) != 0) {
                ScopedLock lock(&m_fileLock);
                if (m_buffered > 0) flushStreamLocked();
            }
            m_writerEvent.wait();
            continue;
        }
        busy = batch.size() >= kBusyBatchLines;
        ScopedLock lock(&m_fileLock);
        m_linesUntilClock = 0;
        for (; !batch.empty(); batch.pop()) {
            const LogItem& item = batch.front();
            if (item.data) {
                writeToFileLocked(reinterpret_cast<const char*>(item.data), item.length);
                releaseCopy(item.data, item.length);
                if (asyncFlushEveryLine) flushStreamLocked();
            } else {
                settleReleased();
                flushMarkerLocked();
                markFlushed(item.length);
            }
        }
        settleReleased();
    }
}

void GenFileLogger::takeStartedChunksLocked() {
    if (m_startedChunks.empty()) return;
    m_writerChunks.erase(m_writerChunks.begin(), m_writerChunks.begin() + static_cast<std::ptrdiff_t>(m_writerChunkNext));
    m_writerChunkNext = 0;
    m_writerChunks.insert(m_writerChunks.end(), m_startedChunks.begin(), m_startedChunks.end());
    m_startedChunks.clear();
}

bool GenFileLogger::streamUsableLocked() {
    if (!m_fileFailed) return true;
    const u64 now = steadyMs();
    if (now - m_lastReopenAttemptMs < kReopenIntervalMs) return false;
    // A file that failed (a full disk) may have been removed meanwhile to free space: what went into it since it
    // was last found in place is written again, as after any removal.
    leaveLiveFileLocked();
    m_lastReopenAttemptMs = now;
    CreateDirectoryA(m_logFolder.c_str(), NULL);  // the folder may have been removed meanwhile
    if (openFile()) return true;
    reportStreamFailureLocked();
    return false;
}

void GenFileLogger::reportStreamFailureLocked() {
    if (m_streamFailureReported) return;
    m_streamFailureReported = true;
    std::cerr << "log file " << m_basePath << ".txt cannot be written; lines are dropped until it can be reopened"
              << std::endl;
}

void GenFileLogger::checkStreamLocked() {
    if (m_fileFailed) reportStreamFailureLocked();
}

void GenFileLogger::checkLiveFileLocked(bool now) {
    // A rotation that is due lists the folder anyway, and opens the live file anew whatever it finds; an explicit
    // flush checks all the same, as the rotation may not come before the process ends.
    if (m_fileFailed || (!now && m_position > kRotateAboveBytes)) return;
    // The writer reads the clock once per run of lines, not once per line.
    if (!now && m_linesUntilClock > 0) {
        --m_linesUntilClock;
        return;
    }
    if (!flushEveryLine) m_linesUntilClock = kLinesPerClockRead;
    const u64 time = steadyMs();
    if (!now && time - m_lastLiveCheckMs < m_liveCheckIntervalMs) return;
    m_lastLiveCheckMs = time;
    if (LiveFile::identityOf(m_basePath + ".txt") == m_liveIdentity) {
        confirmPositionsFromSizeLocked();  // the size also tells where a shared file ends now
        if (!m_foreignSinceCheck) m_sharedSeen = false;
        m_foreignSinceCheck = false;
        foundInPlace();
        return;
    }
    // The live file was removed or replaced under the open descriptor (Linux lets its folder be removed): lines
    // would go on into a file nobody can see. Open it anew, folder included.
    leaveLiveFileLocked();
}

void GenFileLogger::flushMarkerLocked() {
    checkLiveFileLocked(true);
    if (!streamUsableLocked()) return;
    flushStreamLocked();
    // Found in place once written: what an explicit flush wrote is no longer written again.
    if (!m_fileFailed && LiveFile::identityOf(m_basePath + ".txt") == m_liveIdentity) foundInPlace();
}

void GenFileLogger::writeToFileLocked(const char* data, u64 length) {
    checkLiveFileLocked();
    // A line dropped or a file left failed is reported (once) here, in both modes: the queued mode writes out only
    // when its buffer is full or at its markers, and a full disk must not lose lines silently until then.
    if (!streamUsableLocked()) {
        reportStreamFailureLocked();
        return;
    }
    if (m_position > kRotateAboveBytes) {
        // Past the limit by this logger's count: the file's real size decides (another writer's lines make it
        // larger, a copy-and-truncate smaller).
        confirmPositionsFromSizeLocked();
        m_position = m_written + m_buffered;
    }
    if (m_position > kRotateAboveBytes) {
        rotate();
        if (!streamUsableLocked()) {
            reportStreamFailureLocked();
            return;
        }
    }
    appendLocked(data, length);
    // A write error (a full disk) on the way: the line goes to a reopened file when a reopen is due.
    if (m_fileFailed && streamUsableLocked()) appendLocked(data, length);
    if (m_fileFailed) reportStreamFailureLocked();
}

void GenFileLogger::appendLocked(const char* data, u64 length) {
    if (m_fileFailed) return;
    const u64 newlines = kTextModeAddsCarriageReturns ? static_cast<u64>(std::count(data, data + length, '\n')) : 0;
    const u64 size = length + newlines;
    if (m_buffered + size > m_buffer.size() && !writeBufferLocked()) return;
    if (size > m_buffer.size()) {
        // Longer than the buffer: written at once.
        const size_t end = static_cast<size_t>(size);
        if (newlines == 0) {
            writeLinesLocked(data, end, &end, 1);
        } else {
            std::string text;
            text.reserve(end);
            for (u64 i = 0; i < length; ++i) {
                if (data[i] == '\n') text.push_back('\r');
                text.push_back(data[i]);
            }
            writeLinesLocked(text.data(), end, &end, 1);
        }
        m_position = m_written;
        return;
    }
    char* out = m_buffer.data() + m_buffered;
    if (newlines == 0) {
        std::memcpy(out, data, static_cast<size_t>(length));
    } else {
        // The Windows runtime's text mode, which the file was written in before.
        for (u64 i = 0; i < length; ++i) {
            if (data[i] == '\n') *out++ = '\r';
            *out++ = data[i];
        }
    }
    if (m_buffered == 0 && !flushEveryLine) m_bufferHeldSinceMs.store(steadyMs(), std::memory_order_relaxed);
    m_buffered += static_cast<size_t>(size);
    m_lineEnds.push_back(m_buffered);
    m_position += size;
}

bool GenFileLogger::writeBufferLocked() {
    const bool written = writeLinesLocked(m_buffer.data(), m_buffered, m_lineEnds.data(), m_lineEnds.size());
    m_bufferHeldSinceMs.store(0, std::memory_order_relaxed);
    m_buffered = 0;
    m_lineEnds.clear();
    m_position = m_written;
    return written;
}

bool GenFileLogger::writeLinesLocked(const char* data, size_t size, const size_t* ends, size_t lines) {
    size_t done = 0;
    while (done < size) {
        const long long n = m_file.write(data + done, size - done);
        if (n <= 0) break;
        const u64 length = static_cast<u64>(n);
        // Appended: the write ended at the file's offset after it, wherever other writers had left the end. The
        // synchronous mode writes each line on its own and asks for that offset only once the file was seen shared
        // (and for a short write); otherwise its writes are taken to follow each other, which the live file's size
        // confirms at each check.
        u64 end = m_written + length;
        const bool ask = m_sharedSeen || !flushEveryLine || static_cast<size_t>(n) < size - done;
        if (ask && m_file.offsetAfterWrite(end)) {
            confirmPositionsLocked(end - length);
        } else {
            m_unconfirmedBytes += length;
        }
        noteOwnWrite(end - length, length);
        m_written = end;
        done += static_cast<size_t>(n);
    }
    if (done == size) {
        // Lines go to the file again: the next time they are dropped is reported anew.
        if (size > 0) m_streamFailureReported = false;
        return true;
    }
    // A short write (a full disk): the piece of a line it left is cut off, so that no line is glued to the next or
    // written twice; the lines not written are dropped, and reported with the failed file. The cut is made only
    // where the file really ends with that piece: never into another writer's bytes, never past the end.
    const size_t* whole = std::upper_bound(ends, ends + lines, done);
    const size_t kept = whole == ends ? 0 : *(whole - 1);
    const u64 piece = done - kept;
    LiveFile::State state;
    if (piece > 0 && !m_ownWrites.empty() && m_ownWrites.back().length >= piece && m_file.state(state) &&
        state.size == m_written && m_ownWrites.back().start + m_ownWrites.back().length == m_written &&
        m_file.cut(m_written - piece)) {
        m_written -= piece;
        m_ownBytes -= piece;
        if ((m_ownWrites.back().length -= piece) == 0) m_ownWrites.pop_back();
    }
    m_fileFailed = true;
    reportStreamFailureLocked();
    return false;
}

void GenFileLogger::flushStreamLocked() {
    if (!m_fileFailed) writeBufferLocked();
    checkStreamLocked();
}

bool GenFileLogger::listFiles(std::vector<std::string>& out) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((m_logFolder + "\\" + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        std::cerr << "FindFirstFile failed (" << GetLastError() << ")" << std::endl;
        return false;
    }
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        out.push_back(m_logFolder == "." ? std::string(data.cFileName) : m_logFolder + "\\" + data.cFileName);
    } while (FindNextFileA(find, &data));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    return complete;
}

void GenFileLogger::removeFile(const std::string& name) {
    if (!pathExists(name)) return;
    if (runtimeRemove(name) != 0) {
        const int error = errno;
        std::cerr << "Error removing file name=" << name << " err=" << error << "(" << std::strerror(error) << ")"
                  << std::endl;
    }
}

bool GenFileLogger::renameFile(const std::string& from, const std::string& to) {
    if (!pathExists(from)) return false;
    if (runtimeRename(from, to) != 0) {
        const int error = errno;
        // Refused again and again while another process holds the file: reported once, until a rename succeeds.
        if (!m_renameFailureReported) {
            m_renameFailureReported = true;
            std::cerr << "Error renaming file orig=" << from << " target=" << to << " err=" << error << "("
                      << std::strerror(error) << ")" << std::endl;
        }
        return false;
    }
    m_renameFailureReported = false;
    return true;
}

void GenFileLogger::rotate() {
    // The live file's last rename was refused: it is kept, and tried again at the reopen interval.
    if (m_rotateRetryAtMs != 0 && steadyMs() < m_rotateRetryAtMs) return;
    m_rotateRetryAtMs = 0;
    std::vector<std::string> files;
    if (!listFiles(files)) {
        std::cerr << "failed to enumerate files" << std::endl;
        if (!isDirectory(m_logFolder)) {
            // The folder is gone: lines would go on into a file nobody can see. Start a new live file, with what
            // went into the removed one since it was last found in place (the check is not made near a rotation).
            leaveLiveFileLocked();
        }
        return;
    }
    const std::string live = m_basePath + ".txt";
    const std::string finishedLive = live + ".gz";
    bool haveFinishedLive = false;
    std::vector<std::pair<u32, std::string>> numbered;
    for (const auto& name : files) {
        if (name == finishedLive) {
            haveFinishedLive = true;
        } else if (name.compare(0, m_basePath.size(), m_basePath) == 0 && name != live) {
            numbered.emplace_back(getFileIndex(name, m_basePath.size()), name);
        }
    }
    std::stable_sort(numbered.begin(), numbered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    u32 next = numbered.empty() ? 1 : numbered.back().first + 1;

    // The maximum is compared as unsigned: a negative one never removes a file.
    auto removeOldestIfFull = [&] {
        if (!numbered.empty() && numbered.size() >= static_cast<u32>(maxFiles)) {
            removeFile(numbered.front().second);
            numbered.erase(numbered.begin());
        }
    };
    // A numbered file is removed only for one that was made: a refused rename (on Windows, another process holds
    // the file open without delete sharing) rotates nothing.
    if (haveFinishedLive && renameFile(finishedLive, getFileName(next, compressOnRotate))) {
        ++next;
        removeOldestIfFull();
    }
    // The live file may have been removed since it was last found in place: its lines then go to the new one.
    leaveLiveFileLocked();
    if (renameFile(live, getFileName(next, compressOnRotate))) {
        removeOldestIfFull();
    } else if (pathExists(live)) {
        m_rotateRetryAtMs = steadyMs() + kReopenIntervalMs;  // the live file is opened again and grows meanwhile
    }
    if (!openFile()) std::cout << "failed to open logger file. going to work without logger" << std::endl;
}

FileLoggerClient::FileLoggerClient(const std::string& path, u32 budgetMiB, u64, const std::string& bannerName)
    : GenFileLogger(path, budgetMiB) {
    compressOnRotate = Tweaks::instance()->longVal("t_FileLoggerCompressOnRotate", 0) != 0;
    flushEveryLine = Tweaks::instance()->longVal("t_FileLoggerFlushEveryLine", 0) != 0;
    asyncFlushEveryLine = Tweaks::instance()->longVal("t_AsyncFileLoggerFlushEveryLine", 0) != 0;
    if (enabled) enabled = Tweaks::instance()->longVal("t_FileLoggerEnabled", 1) != 0;

    std::ostringstream start;
    start << "\n\n";
    Timer::printTime(start, 3);
    start << ", -----------------Log Start---------------------- " << bannerName << " ----------------------"
          << "\n"
          << "time,level,thread,logger,method,message,exception\n";
    const std::string lines = start.str();
    GenFileLogger::write(lines.data(), lines.size());
    // Last: the writer thread names itself from the complete object's type.
    startWriter();
}

void FileLoggerClient::write(const std::string& line) { GenFileLogger::write(line.data(), line.size()); }

void FileLoggerClient::flush() {
    if (flushEveryLine || !enabled) return;
    if (onWriterThread()) return;  // only this thread could write the marker
    const u64 sequence = queueFlushMarker();
    if (!enabled) return;
    if (!waitForMarker(sequence, flushMaxPeriodMs)) {
        std::cerr << "Flush is not completed" << " t_TeskFlushFileMaxPeriodMs=" << flushMaxPeriodMs << " "
                  << std::endl;
    }
}
