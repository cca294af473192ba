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
// A writer that took at least this many lines at once pauses briefly before it waits for a wake-up.
constexpr size_t kBusyBatchLines = 16;
constexpr u32 kLinesPerClockRead = 1024;
// The longest a producer waits for the writer to catch up, per line, once half the budget is queued.
constexpr std::chrono::microseconds kWriterCatchUp(200);
// Lines queued before a producer wakes a napping writer.
constexpr size_t kWakeNappingWriterLines = 1024;
// How often the writer makes sure that its stream still writes to the live file.
constexpr u64 kLiveCheckIntervalMs = 1000;
// The most written since the last live check that is kept to be written again: a second of an ordinary run.
constexpr size_t kUnverifiedLimitBytes = 1 << 20;

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
    m_stream.close();
    for (s8* block : m_spareBlocks) ::operator delete(block);
    for (s8* block : m_releasedBlocks) ::operator delete(block);
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
    m_stream.clear();
    // A larger buffer than the runtime's default: fewer, larger writes keep the writer ahead of its producers.
    m_stream.rdbuf()->pubsetbuf(m_streamBuffer.data(), static_cast<std::streamsize>(m_streamBuffer.size()));
    m_stream.open(nativePath(m_basePath + ".txt"), std::ios::out | std::ios::app);
    if (!m_stream.is_open() || !m_stream.good()) return false;
    m_stream.seekp(0, std::ios::end);  // the Windows runtime reports 0 for a fresh append stream
    m_position = static_cast<u64>(m_stream.tellp());
    m_liveIdentity = fileIdentity(m_basePath + ".txt");
    m_lastLiveCheckMs = steadyMs();
    if (m_rewritePending) {
        // The lines that went into the removed file since the last check.
        m_rewritePending = false;
        m_stream.write(m_unverified.data(), static_cast<std::streamsize>(m_unverified.size()));
        advancePosition(m_unverified.data(), m_unverified.size());
        if (m_unverifiedDropped > 0) {
            std::cerr << "log file " << m_basePath << ".txt was removed; " << m_unverifiedDropped
                      << " bytes written to it before are lost" << std::endl;
        }
    }
    m_unverified.clear();
    m_unverifiedDropped = 0;
    return true;
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
    // Half the budget is queued: the producers are outrunning the writer. A short wait lets it catch up before the
    // budget is spent and lines are dropped; it is bounded, so a writer that is stuck still ends in the pause.
    if (onWriterThread()) return;
    const auto until = std::chrono::steady_clock::now() + kWriterCatchUp;
    while (m_tracker->usedBytes() > m_tracker->limitBytes() / 2 && !m_tracker->paused() &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
}

void GenFileLogger::copyAndEnqueue(const char* data, u32 length) {
    if (!recycled(length)) {
        s8* copy = m_tracker->takeReserved(length);
        std::memcpy(copy, data, length);
        enqueue(copy, length);
        return;
    }
    // The guard counts what a tracked array of the line's length would take.
    MemShield::instance()->m_allocatedBytes.fetch_add(length + 8, std::memory_order_relaxed);
    {
        ScopedLock lock(&m_queueLock);
        if (!m_spareBlocks.empty()) {
            s8* copy = m_spareBlocks.back();
            m_spareBlocks.pop_back();
            std::memcpy(copy, data, length);
            pushLocked(copy, length);
            return;
        }
    }
    s8* copy;
    try {
        copy = static_cast<s8*>(::operator new(kRecycledLineBytes));
    } catch (...) {
        MemShield::instance()->m_allocatedBytes.fetch_sub(length + 8, std::memory_order_relaxed);
        m_tracker->cancel(length);
        throw;
    }
    std::memcpy(copy, data, length);
    enqueue(copy, length);
}

void GenFileLogger::releaseCopy(s8* copy, u64 length) {
    if (recycled(length)) {
        m_releasedBlocks.push_back(copy);
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
    if (bytes) m_tracker->giveBack(bytes);
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
            // The blocks written since the last turn go back to the producers.
            const size_t room = kMaxSpareBlocks - std::min(kMaxSpareBlocks, m_spareBlocks.size());
            if (m_releasedBlocks.size() > room) {
                surplus.assign(m_releasedBlocks.begin() + static_cast<std::ptrdiff_t>(room), m_releasedBlocks.end());
                m_releasedBlocks.resize(room);
            }
            if (m_spareBlocks.empty()) {
                m_spareBlocks.swap(m_releasedBlocks);
            } else {
                m_spareBlocks.insert(m_spareBlocks.end(), m_releasedBlocks.begin(), m_releasedBlocks.end());
                m_releasedBlocks.clear();
            }
            if (batch.empty() && busy) {
                // Lines came in fast a moment ago: a short nap lets them gather, and spares the producers a
                // wake-up per run of lines.
                busy = false;
                m_writerNapping = true;
                m_writerNap.wait_for(m_queueLock, std::chrono::microseconds(200));
                m_writerNapping = false;
                static_cast<std::queue<LogItem>&>(m_queue).swap(batch);
                m_queue.noteSize();
            }
            if (batch.empty()) {
                m_writerWaiting = true;
                wait = true;
            }
        }
        for (s8* block : surplus) ::operator delete(block);
        surplus.clear();
        if (wait) {
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

bool GenFileLogger::streamUsableLocked() {
    if (m_stream.good()) return true;
    const u64 now = steadyMs();
    if (now - m_lastReopenAttemptMs < kReopenIntervalMs) return false;
    m_lastReopenAttemptMs = now;
    m_stream.close();
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
    if (m_stream.good()) {
        m_streamFailureReported = false;
    } else {
        reportStreamFailureLocked();
    }
}

void GenFileLogger::checkLiveFileLocked(bool now) {
    // A rotation that is due lists the folder anyway, and opens the live file anew whatever it finds.
    if (!m_stream.good() || m_position > kRotateAboveBytes) return;
    // The writer reads the clock once per run of lines, not once per line.
    if (!now && m_linesUntilClock > 0) {
        --m_linesUntilClock;
        return;
    }
    if (!flushEveryLine) m_linesUntilClock = kLinesPerClockRead;
    const u64 time = steadyMs();
    if (!now && time - m_lastLiveCheckMs < kLiveCheckIntervalMs) return;
    m_lastLiveCheckMs = time;
    const u64 identity = fileIdentity(m_basePath + ".txt");
    if (identity == m_liveIdentity) {
        m_unverified.clear();
        m_unverifiedDropped = 0;
        return;
    }
    // The live file was removed or replaced under the open stream (Linux lets its folder be removed): lines would
    // go on into a file nobody can see. Open it anew, folder included. What went into a removed file is written
    // again; a file renamed away (another process's rotation) still holds its lines.
    m_stream.close();
    m_stream.setstate(std::ios::failbit);
    m_lastReopenAttemptMs = 0;
    m_rewritePending = identity == 0;
}

void GenFileLogger::flushMarkerLocked() {
    checkLiveFileLocked(true);
    if (streamUsableLocked()) flushStreamLocked();
}

void GenFileLogger::writeToFileLocked(const char* data, u64 length) {
    checkLiveFileLocked();
    // A line dropped or a stream left bad is reported (once) here, in both modes: the queued mode flushes only
    // at its markers, and a full disk must not lose lines silently until then.
    if (!streamUsableLocked()) {
        reportStreamFailureLocked();
        return;
    }
    if (m_position > kRotateAboveBytes) {
        rotate();
        if (!streamUsableLocked()) {
            reportStreamFailureLocked();
            return;
        }
    }
    m_stream.write(data, static_cast<std::streamsize>(length));
    if (!m_stream.good() && streamUsableLocked()) {
        // A write error (a full disk): retry once on a reopened stream, when a reopen is due.
        m_stream.write(data, static_cast<std::streamsize>(length));
    }
    advancePosition(data, length);
    if (m_unverified.size() + length <= kUnverifiedLimitBytes) {
        m_unverified.append(data, static_cast<size_t>(length));
    } else {
        m_unverifiedDropped += length;
    }
    // Cleared only by a flush that went through: a write into the stream's buffer proves nothing.
    if (!m_stream.good()) reportStreamFailureLocked();
}

void GenFileLogger::advancePosition(const char* data, u64 length) {
    // The stream's own position would cost a system call per line.
    m_position += length;
    if (kTextModeAddsCarriageReturns) m_position += static_cast<u64>(std::count(data, data + length, '\n'));
}

void GenFileLogger::flushStreamLocked() {
    m_stream.flush();
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

void GenFileLogger::renameFile(const std::string& from, const std::string& to) {
    if (!pathExists(from)) return;
    if (runtimeRename(from, to) != 0) {
        const int error = errno;
        std::cerr << "Error renaming file orig=" << from << " target=" << to << " err=" << error << "("
                  << std::strerror(error) << ")" << std::endl;
    }
}

void GenFileLogger::rotate() {
    std::vector<std::string> files;
    if (!listFiles(files)) {
        std::cerr << "failed to enumerate files" << std::endl;
        if (!isDirectory(m_logFolder)) {
            // The folder is gone: lines would go on into a file nobody can see. Start a new live file.
            m_stream.close();
            m_stream.setstate(std::ios::failbit);
            m_lastReopenAttemptMs = 0;
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
    if (haveFinishedLive) {
        renameFile(finishedLive, getFileName(next, compressOnRotate));
        ++next;
        removeOldestIfFull();
    }
    m_stream.close();
    renameFile(live, getFileName(next, compressOnRotate));
    removeOldestIfFull();
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
