// Thread times, process memory counters and the processor idle counter, read from /proc.
#include "internal.h"

#include <pdh.h>
#include <platform/testing.h>
#include <psapi.h>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_rootLock;
std::string g_procRoot = "/proc";
std::atomic<bool> g_failNextOpenProcess{false};

std::string procPath(const std::string& tail) {
    std::lock_guard<std::mutex> lock(g_rootLock);
    return g_procRoot + "/" + tail;
}

std::string taskPath(DWORD threadId) { return procPath("self/task/" + std::to_string(threadId)); }

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool readText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream out;
    out << in.rdbuf();
    text = out.str();
    return true;
}

// Clock ticks to 100-ns units, without overflow for any tick count a machine reaches.
ULONGLONG ticksToHundredNs(ULONGLONG ticks) {
    static const ULONGLONG perSecond = [] {
        const long value = sysconf(_SC_CLK_TCK);
        return static_cast<ULONGLONG>(value > 0 ? value : 100);
    }();
    return ticks / perSecond * 10000000 + ticks % perSecond * 10000000 / perSecond;
}

void toFileTime(ULONGLONG value, LPFILETIME time) {
    time->dwLowDateTime = static_cast<DWORD>(value);
    time->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

// Waits on a handle that is signalled when `ended` says so, polling: the stand-in does not own these threads.
template <class Ended>
DWORD pollUntil(DWORD milliseconds, Ended ended) {
    platform::detail::Deadline deadline(milliseconds);
    for (;;) {
        if (ended()) return WAIT_OBJECT_0;
        if (!deadline.infinite && std::chrono::steady_clock::now() >= deadline.at) return WAIT_TIMEOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class ThreadQuery final : public platform::detail::KernelObject {
public:
    explicit ThreadQuery(DWORD threadId) : m_threadId(threadId) {}
    DWORD wait(DWORD milliseconds) override {
        return pollUntil(milliseconds, [this] { return !exists(taskPath(m_threadId)); });
    }
    const DWORD m_threadId;
};

// The calling process; a wait on it ends only with its time-out.
class ProcessQuery final : public platform::detail::KernelObject {
public:
    DWORD wait(DWORD milliseconds) override {
        return pollUntil(milliseconds, [] { return false; });
    }
};

// utime and stime of a task's stat file: fields 14 and 15, counted after the last ')' that closes the name.
bool readThreadTimes(DWORD threadId, ULONGLONG& user, ULONGLONG& kernel) {
    std::string text;
    if (!readText(taskPath(threadId) + "/stat", text)) return false;
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    // The first field after the name is field 3.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index < 14) continue;
        char* end = nullptr;
        errno = 0;
        const ULONGLONG value = std::strtoull(field.c_str(), &end, 10);
        if (end == field.c_str() || *end != '\0' || errno != 0) return false;
        (index == 14 ? user : kernel) = value;
        if (index == 15) return true;
    }
    return false;
}

}  // namespace

void platform_test::setProcRoot(const char* root) {
    std::lock_guard<std::mutex> lock(g_rootLock);
    g_procRoot = root ? root : "/proc";
}

void platform_test::failNextOpenProcess() { g_failNextOpenProcess = true; }

using namespace platform::detail;

HANDLE OpenThread(DWORD, BOOL, DWORD threadId) {
    if (threadId == 0 || !exists(taskPath(threadId))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return publish(new ThreadQuery(threadId));
}

BOOL GetThreadTimes(HANDLE thread, LPFILETIME creationTime, LPFILETIME exitTime, LPFILETIME kernelTime,
                    LPFILETIME userTime) {
    if (!creationTime || !exitTime || !kernelTime || !userTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    KernelObject* object = acquire(thread);
    if (!object) return FALSE;
    const auto* query = dynamic_cast<ThreadQuery*>(object);
    const DWORD threadId = query ? query->m_threadId : 0;
    release(object);
    if (!query) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ULONGLONG user = 0;
    ULONGLONG kernel = 0;
    if (!readThreadTimes(threadId, user, kernel)) {
        // The thread has ended (or its file cannot be read).
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    toFileTime(0, creationTime);
    toFileTime(0, exitTime);
    toFileTime(ticksToHundredNs(kernel), kernelTime);
    toFileTime(ticksToHundredNs(user), userTime);
    return TRUE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
    if (g_failNextOpenProcess.exchange(false)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (processId != GetCurrentProcessId()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return publish(new ProcessQuery());
}

BOOL GetProcessMemoryInfo(HANDLE process, PPROCESS_MEMORY_COUNTERS counters, DWORD cb) {
    if (process != GetCurrentProcess()) {
        KernelObject* object = acquire(process);
        if (!object) return FALSE;
        const bool isProcess = dynamic_cast<ProcessQuery*>(object) != nullptr;
        release(object);
        if (!isProcess) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    if (!counters || cb < sizeof(PROCESS_MEMORY_COUNTERS)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::string text;
    if (!readText(procPath("self/status"), text)) return failFromErrno(false);
    const char* names[] = {"VmHWM:", "VmRSS:", "VmData:", "VmPeak:"};
    SIZE_T values[4] = {};
    bool found[4] = {};
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        for (int i = 0; i < 4; ++i) {
            const size_t length = std::strlen(names[i]);
            if (line.compare(0, length, names[i]) != 0) continue;
            char* end = nullptr;
            const unsigned long long kb = std::strtoull(line.c_str() + length, &end, 10);
            if (end == line.c_str() + length) continue;
            values[i] = static_cast<SIZE_T>(kb) * 1024;
            found[i] = true;
        }
    }
    for (bool present : found) {
        if (!present) {
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
    }
    std::memset(counters, 0, sizeof(PROCESS_MEMORY_COUNTERS));
    counters->cb = sizeof(PROCESS_MEMORY_COUNTERS);
    counters->PeakWorkingSetSize = values[0];
    counters->WorkingSetSize = values[1];
    counters->PagefileUsage = values[2];
    counters->PeakPagefileUsage = values[3];
    return TRUE;
}

namespace {

const char kIdleTimePath[] = "\\Processor(_Total)\\% Idle Time";

struct CpuSample {
    LONGLONG idle = 0;
    LONGLONG total = 0;
    FILETIME at{};
};

struct PdhCounter;
struct PdhQuery {
    std::vector<PdhCounter*> counters;
};
struct PdhCounter {
    PdhQuery* query = nullptr;
    bool sampled = false;
    CpuSample sample;
};

// Live queries and counters: a handle is looked up here before it is used, so a null, closed or foreign handle
// gives PDH_INVALID_HANDLE.
std::mutex g_pdhLock;
std::set<PdhQuery*>& pdhQueries() {
    static auto* queries = new std::set<PdhQuery*>();  // threads may sample while the process exits
    return *queries;
}
std::set<PdhCounter*>& pdhCounters() {
    static auto* counters = new std::set<PdhCounter*>();
    return *counters;
}

// The aggregate "cpu" line of /proc/stat, per processor ("cpuN" lines), in 100-ns units.
bool readCpuSample(CpuSample& sample) {
    std::string text;
    if (!readText(procPath("stat"), text)) return false;
    std::istringstream lines(text);
    std::string line;
    std::vector<ULONGLONG> fields;
    bool aggregate = false;
    ULONGLONG processors = 0;
    while (std::getline(lines, line)) {
        if (line.compare(0, 3, "cpu") != 0) continue;
        if (line.size() > 3 && std::isdigit(static_cast<unsigned char>(line[3]))) {
            ++processors;
            continue;
        }
        if (aggregate || (line.size() > 3 && line[3] != ' ')) continue;
        aggregate = true;
        std::istringstream values(line.substr(3));
        ULONGLONG value = 0;
        while (fields.size() < 8 && values >> value) fields.push_back(value);
    }
    // user nice system idle [iowait irq softirq steal]
    if (!aggregate || processors == 0 || fields.size() < 4) return false;
    fields.resize(8, 0);
    ULONGLONG total = 0;
    for (ULONGLONG value : fields) total += value;
    const ULONGLONG idle = fields[3] + fields[4];
    sample.idle = static_cast<LONGLONG>(ticksToHundredNs(idle) / processors);
    sample.total = static_cast<LONGLONG>(ticksToHundredNs(total) / processors);
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    toFileTime((static_cast<ULONGLONG>(now.tv_sec) + 11644473600ull) * 10000000 +
                   static_cast<ULONGLONG>(now.tv_nsec) / 100,
               &sample.at);
    return true;
}

}  // namespace

PDH_STATUS PdhOpenQueryA(LPCSTR dataSource, DWORD_PTR, PDH_HQUERY* query) {
    if (!query || (dataSource && *dataSource)) return PDH_INVALID_ARGUMENT;
    auto* created = new PdhQuery();
    std::lock_guard<std::mutex> lock(g_pdhLock);
    pdhQueries().insert(created);
    *query = created;
    return ERROR_SUCCESS;
}

PDH_STATUS PdhAddCounterA(PDH_HQUERY query, LPCSTR fullCounterPath, DWORD_PTR, PDH_HCOUNTER* counter) {
    if (!fullCounterPath || !counter) return PDH_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(g_pdhLock);
    auto it = pdhQueries().find(static_cast<PdhQuery*>(query));
    if (it == pdhQueries().end()) return PDH_INVALID_HANDLE;
    if (strcasecmp(fullCounterPath, kIdleTimePath) != 0) return PDH_CSTATUS_NO_COUNTER;  // names ignore case
    CpuSample probe;
    if (!readCpuSample(probe)) return PDH_CSTATUS_NO_OBJECT;
    auto* added = new PdhCounter();
    added->query = *it;
    (*it)->counters.push_back(added);
    pdhCounters().insert(added);
    *counter = added;
    return ERROR_SUCCESS;
}

PDH_STATUS PdhCollectQueryData(PDH_HQUERY query) {
    std::lock_guard<std::mutex> lock(g_pdhLock);
    auto it = pdhQueries().find(static_cast<PdhQuery*>(query));
    if (it == pdhQueries().end()) return PDH_INVALID_HANDLE;
    if ((*it)->counters.empty()) return PDH_NO_DATA;
    CpuSample sample;
    if (!readCpuSample(sample)) return PDH_NO_DATA;
    for (PdhCounter* counter : (*it)->counters) {
        counter->sample = sample;
        counter->sampled = true;
    }
    return ERROR_SUCCESS;
}

PDH_STATUS PdhGetRawCounterValue(PDH_HCOUNTER counter, LPDWORD type, PPDH_RAW_COUNTER value) {
    std::lock_guard<std::mutex> lock(g_pdhLock);
    auto it = pdhCounters().find(static_cast<PdhCounter*>(counter));
    if (it == pdhCounters().end()) return PDH_INVALID_HANDLE;
    if (!value) return PDH_INVALID_ARGUMENT;
    const PdhCounter& found = **it;
    if (type) *type = PERF_100NSEC_TIMER_INV;
    std::memset(value, 0, sizeof(*value));
    if (found.sampled) {
        value->CStatus = PDH_CSTATUS_VALID_DATA;
        value->TimeStamp = found.sample.at;
        value->FirstValue = found.sample.idle;
        value->SecondValue = found.sample.total;
    } else {
        value->CStatus = static_cast<DWORD>(PDH_CSTATUS_INVALID_DATA);
    }
    return ERROR_SUCCESS;
}

PDH_STATUS PdhCloseQuery(PDH_HQUERY query) {
    std::lock_guard<std::mutex> lock(g_pdhLock);
    auto it = pdhQueries().find(static_cast<PdhQuery*>(query));
    if (it == pdhQueries().end()) return PDH_INVALID_HANDLE;
    PdhQuery* closed = *it;
    for (PdhCounter* counter : closed->counters) {
        pdhCounters().erase(counter);
        delete counter;
    }
    pdhQueries().erase(it);
    delete closed;
    return ERROR_SUCCESS;
}
