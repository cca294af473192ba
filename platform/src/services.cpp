// Service control manager: one record file per service under <stand-in root>/services, read and rewritten under a
// lock file, so the agent, the tests and the service processes share it. A started service is its command line
// run detached; its process reports its state through SetServiceStatus. A record that says the service runs while
// its process is gone reads as stopped with ERROR_PROCESS_ABORTED.
#include "internal.h"

#include <platform/paths.h>
#include <platform/testing.h>
#include <winsvc.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// ---- the 32-bit tick clock and its fake ----

std::atomic<bool> g_fakeTicks{false};
std::atomic<DWORD> g_fakeTickCount{0};
std::mutex g_sleepsLock;
std::vector<DWORD> g_sleeps;

// ---- test controls ----

struct Injection {
    unsigned remaining = 0;  // 0: none armed
    DWORD error = 0;
};

struct Script {
    std::vector<SERVICE_STATUS_PROCESS> statuses;
    size_t next = 0;
    DWORD startError = 0;
};

struct Controls {
    std::mutex lock;
    std::map<platform_test::ServiceCall, Injection> injections;
    std::map<std::string, Script> scripts;
    std::vector<std::string> calls;
};

Controls& controls() {
    static auto* c = new Controls();
    return *c;
}

void journal(const std::string& call) {
    Controls& c = controls();
    std::lock_guard<std::mutex> lock(c.lock);
    c.calls.push_back(call);
}

// True (with the last error set) when this call is the one armed to fail.
bool injectedFailure(platform_test::ServiceCall call) {
    Controls& c = controls();
    std::lock_guard<std::mutex> lock(c.lock);
    auto it = c.injections.find(call);
    if (it == c.injections.end() || it->second.remaining == 0) return false;
    if (--it->second.remaining != 0) return false;
    SetLastError(it->second.error);
    return true;
}

// ---- handles ----

enum class HandleKind { Manager, Service };

struct ServiceHandle {
    HandleKind kind;
    std::string name;  // a service's
    bool scripted = false;
};

struct HandleSet {
    std::mutex lock;
    std::set<ServiceHandle*> open;
};

HandleSet& handleSet() {
    static auto* h = new HandleSet();
    return *h;
}

SC_HANDLE newHandle(HandleKind kind, const std::string& name, bool scripted) {
    auto* h = new ServiceHandle{kind, name, scripted};
    HandleSet& set = handleSet();
    std::lock_guard<std::mutex> lock(set.lock);
    set.open.insert(h);
    return reinterpret_cast<SC_HANDLE>(h);
}

// A copy of the handle's data, or false with ERROR_INVALID_HANDLE.
bool lookup(SC_HANDLE handle, HandleKind kind, ServiceHandle* out) {
    HandleSet& set = handleSet();
    std::lock_guard<std::mutex> lock(set.lock);
    auto* h = reinterpret_cast<ServiceHandle*>(handle);
    if (!set.open.count(h) || h->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *out = *h;
    return true;
}

// ---- the record store ----

struct Record {
    std::string image;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD state = SERVICE_STOPPED;
    DWORD checkPoint = 0;
    DWORD waitHint = 0;
    DWORD exitCode = 0;
    DWORD specificExitCode = 0;
    DWORD controlsAccepted = 0;
    DWORD pid = 0;
    DWORD pendingControl = 0;
    bool connected = false;
    bool deleted = false;
};

std::string serviceFolder() { return platform::standinRoot() + "/services"; }

// Service names are case-insensitive on Windows.
std::string recordPath(const std::string& name) {
    std::string file;
    for (char ch : name) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '_' || c == '-') {
            file += static_cast<char>(std::tolower(c));
        } else {
            char esc[4];
            snprintf(esc, sizeof esc, "%%%02x", c);
            file += esc;
        }
    }
    return serviceFolder() + "/" + file + ".svc";
}

class StoreLock {
public:
    StoreLock() {
        platform::detail::makeFolders(serviceFolder());
        m_fd = open((serviceFolder() + "/.store.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~StoreLock() {
        if (m_fd >= 0) close(m_fd);
    }

private:
    int m_fd;
};

bool readRecord(const std::string& name, Record* r) {
    std::ifstream in(recordPath(name));
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        const DWORD n = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
        if (key == "image") r->image = value;
        else if (key == "startType") r->startType = n;
        else if (key == "state") r->state = n;
        else if (key == "checkPoint") r->checkPoint = n;
        else if (key == "waitHint") r->waitHint = n;
        else if (key == "exitCode") r->exitCode = n;
        else if (key == "specificExitCode") r->specificExitCode = n;
        else if (key == "controlsAccepted") r->controlsAccepted = n;
        else if (key == "pid") r->pid = n;
        else if (key == "pendingControl") r->pendingControl = n;
        else if (key == "connected") r->connected = n != 0;
        else if (key == "deleted") r->deleted = n != 0;
    }
    return true;
}

bool writeRecord(const std::string& name, const Record& r) {
    const std::string path = recordPath(name), temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "image=" << r.image << "\nstartType=" << r.startType << "\nstate=" << r.state
            << "\ncheckPoint=" << r.checkPoint << "\nwaitHint=" << r.waitHint << "\nexitCode=" << r.exitCode
            << "\nspecificExitCode=" << r.specificExitCode << "\ncontrolsAccepted=" << r.controlsAccepted
            << "\npid=" << r.pid << "\npendingControl=" << r.pendingControl << "\nconnected=" << r.connected
            << "\ndeleted=" << r.deleted << "\n";
        if (!out.flush()) return false;
    }
    return rename(temp.c_str(), path.c_str()) == 0;
}

bool processAlive(DWORD pid) {
    if (pid == 0) return false;
    waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG);  // reaps it when it is our own child
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// The record as a query sees it: a service process that is gone leaves it stopped. Under the store lock.
// A service marked for deletion goes once it is stopped.
bool liveRecord(const std::string& name, Record* r) {
    if (!readRecord(name, r)) return false;
    if (r->state != SERVICE_STOPPED && !processAlive(r->pid)) {
        r->state = SERVICE_STOPPED;
        r->exitCode = ERROR_PROCESS_ABORTED;
        r->checkPoint = r->waitHint = 0;
        r->pid = 0;
        r->connected = false;
        if (!r->deleted) writeRecord(name, *r);
    }
    if (r->deleted && r->state == SERVICE_STOPPED) unlink(recordPath(name).c_str());
    return !r->deleted;
}

std::string narrow(LPCWSTR text) {
    std::string out;
    for (; text && *text; ++text) out += static_cast<char>(*text < 0x80 ? *text : '?');
    return out;
}

// Splits a command line at blanks; a part in double quotes is kept whole.
std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> parts;
    std::string current;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) parts.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) parts.push_back(current);
    return parts;
}

void fillStatus(const Record& r, SERVICE_STATUS_PROCESS* s) {
    std::memset(s, 0, sizeof *s);
    s->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s->dwCurrentState = r.state;
    s->dwControlsAccepted = r.controlsAccepted;
    s->dwWin32ExitCode = r.exitCode;
    s->dwServiceSpecificExitCode = r.specificExitCode;
    s->dwCheckPoint = r.checkPoint;
    s->dwWaitHint = r.waitHint;
    s->dwProcessId = r.state == SERVICE_STOPPED ? 0 : r.pid;
}

bool queryStatus(SC_HANDLE handle, SERVICE_STATUS_PROCESS* status) {
    ServiceHandle h;
    if (!lookup(handle, HandleKind::Service, &h)) return false;
    if (h.scripted) {
        Controls& c = controls();
        std::lock_guard<std::mutex> lock(c.lock);
        auto it = c.scripts.find(h.name);
        if (it == c.scripts.end() || it->second.statuses.empty()) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return false;
        }
        Script& s = it->second;
        *status = s.statuses[s.next < s.statuses.size() ? s.next : s.statuses.size() - 1];
        if (s.next < s.statuses.size()) ++s.next;
        return true;
    }
    StoreLock lock;
    Record r;
    if (!liveRecord(h.name, &r)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return false;
    }
    fillStatus(r, status);
    return true;
}

// ---- the service process's side ----

struct ServiceSide {
    std::mutex lock;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    std::string name;
};

ServiceSide& serviceSide() {
    static auto* s = new ServiceSide();
    return *s;
}

}  // namespace

namespace platform::detail {
bool fakeSleep(DWORD milliseconds) {
    if (!g_fakeTicks) return false;
    {
        std::lock_guard<std::mutex> lock(g_sleepsLock);
        g_sleeps.push_back(milliseconds);
    }
    g_fakeTickCount.fetch_add(milliseconds);  // wraps as the real count does
    return true;
}
}  // namespace platform::detail

DWORD GetTickCount() {
    if (g_fakeTicks) return g_fakeTickCount.load();
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<DWORD>(static_cast<ULONGLONG>(ts.tv_sec) * 1000 + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000);
}

void platform_test::useFakeTickClock(DWORD start) {
    {
        std::lock_guard<std::mutex> lock(g_sleepsLock);
        g_sleeps.clear();
    }
    g_fakeTickCount = start;
    g_fakeTicks = true;
}

void platform_test::useRealTickClock() { g_fakeTicks = false; }

std::vector<DWORD> platform_test::recordedSleeps() {
    std::lock_guard<std::mutex> lock(g_sleepsLock);
    return g_sleeps;
}

void platform_test::failServiceCall(ServiceCall call, unsigned nth, DWORD error) {
    Controls& c = controls();
    std::lock_guard<std::mutex> lock(c.lock);
    c.injections[call] = Injection{nth, error};
}

void platform_test::scriptService(const std::string& name, const std::vector<SERVICE_STATUS_PROCESS>& statuses,
                                  DWORD startError) {
    Controls& c = controls();
    std::lock_guard<std::mutex> lock(c.lock);
    c.scripts[name] = Script{statuses, 0, startError};
}

void platform_test::clearServiceScripts() {
    Controls& c = controls();
    std::lock_guard<std::mutex> lock(c.lock);
    c.scripts.clear();
    c.injections.clear();
}

std::vector<std::string> platform_test::serviceCalls() {
    Controls& c = controls();
    std::lock_guard<std::mutex> lock(c.lock);
    return c.calls;
}

void platform_test::clearServiceCalls() {
    Controls& c = controls();
    std::lock_guard<std::mutex> lock(c.lock);
    c.calls.clear();
}

using platform_test::ServiceCall;

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD) {
    journal("OpenSCManagerW");
    if (injectedFailure(ServiceCall::OpenSCManager)) return nullptr;
    if ((machineName && *machineName) || (databaseName && narrow(databaseName) != "ServicesActive")) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    return newHandle(HandleKind::Manager, "", false);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD) {
    journal("OpenServiceA");
    ServiceHandle m;
    if (!lookup(manager, HandleKind::Manager, &m)) return nullptr;
    if (injectedFailure(ServiceCall::OpenService)) return nullptr;
    if (!serviceName || !*serviceName) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    {
        Controls& c = controls();
        std::lock_guard<std::mutex> lock(c.lock);
        if (c.scripts.count(serviceName)) return newHandle(HandleKind::Service, serviceName, true);
    }
    StoreLock lock;
    Record r;
    if (!liveRecord(serviceName, &r)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return newHandle(HandleKind::Service, serviceName, false);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD access) {
    const std::string name = narrow(serviceName);
    return OpenServiceA(manager, serviceName ? name.c_str() : nullptr, access);
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR, DWORD, DWORD, DWORD startType, DWORD,
                         LPCWSTR binaryPathName, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR) {
    journal("CreateServiceW");
    ServiceHandle m;
    if (!lookup(manager, HandleKind::Manager, &m)) return nullptr;
    const std::string name = narrow(serviceName);
    if (name.empty() || !binaryPathName || !*binaryPathName || startType > SERVICE_DISABLED) {
        SetLastError(name.empty() ? ERROR_INVALID_NAME : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    StoreLock lock;
    Record r;
    if (liveRecord(name, &r) || readRecord(name, &r)) {
        SetLastError(r.deleted ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    r = Record{};
    r.image = narrow(binaryPathName);
    r.startType = startType;
    if (!writeRecord(name, r)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return newHandle(HandleKind::Service, name, false);
}

BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD, DWORD startType, DWORD, LPCWSTR binaryPathName, LPCWSTR, LPDWORD,
                          LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR) {
    ServiceHandle h;
    if (!lookup(service, HandleKind::Service, &h)) return FALSE;
    StoreLock lock;
    Record r;
    if (!readRecord(h.name, &r) || r.deleted) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    if (startType != 0xFFFFFFFFu) r.startType = startType;  // SERVICE_NO_CHANGE
    if (binaryPathName) r.image = narrow(binaryPathName);
    return writeRecord(h.name, r) ? TRUE : FALSE;
}

BOOL DeleteService(SC_HANDLE service) {
    journal("DeleteService");
    ServiceHandle h;
    if (!lookup(service, HandleKind::Service, &h)) return FALSE;
    StoreLock lock;
    Record r;
    if (!liveRecord(h.name, &r)) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    if (r.state == SERVICE_STOPPED) return unlink(recordPath(h.name).c_str()) == 0 ? TRUE : FALSE;
    r.deleted = true;  // gone once it stops
    return writeRecord(h.name, r) ? TRUE : FALSE;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD bufferSize,
                          LPDWORD bytesNeeded) {
    journal("QueryServiceStatusEx");
    if (injectedFailure(ServiceCall::QueryStatus)) return FALSE;
    if (level != SC_STATUS_PROCESS_INFO) {
        SetLastError(124);  // ERROR_INVALID_LEVEL
        return FALSE;
    }
    if (bytesNeeded) *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    if (!buffer || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SERVICE_STATUS_PROCESS status;
    if (!queryStatus(service, &status)) return FALSE;
    std::memcpy(buffer, &status, sizeof status);
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    journal("QueryServiceStatus");
    if (injectedFailure(ServiceCall::QueryStatus)) return FALSE;
    SERVICE_STATUS_PROCESS full;
    if (!queryStatus(service, &full)) return FALSE;
    std::memcpy(status, &full, sizeof *status);  // the same leading fields
    return TRUE;
}

BOOL StartServiceW(SC_HANDLE service, DWORD, LPCWSTR*) {
    journal("StartServiceW");
    ServiceHandle h;
    if (!lookup(service, HandleKind::Service, &h)) return FALSE;
    if (injectedFailure(ServiceCall::StartService)) return FALSE;
    if (h.scripted) {
        Controls& c = controls();
        std::lock_guard<std::mutex> lock(c.lock);
        auto it = c.scripts.find(h.name);
        if (it != c.scripts.end() && it->second.startError != 0) {
            SetLastError(it->second.startError);
            return FALSE;
        }
        return TRUE;
    }
    pid_t pid = 0;
    {
        StoreLock lock;
        Record r;
        if (!liveRecord(h.name, &r)) {
            SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
            return FALSE;
        }
        if (r.startType == SERVICE_DISABLED) {
            SetLastError(ERROR_SERVICE_DISABLED);
            return FALSE;
        }
        if (r.state != SERVICE_STOPPED) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        const std::vector<std::string> parts = splitCommandLine(r.image);
        if (parts.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        std::vector<char*> argv;
        for (const auto& p : parts) argv.push_back(const_cast<char*>(p.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "TALVO_STANDIN_SERVICE=", 22) != 0) env.emplace_back(*e);
        }
        env.push_back("TALVO_STANDIN_SERVICE=" + h.name);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        const std::string output = recordPath(h.name) + ".out";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);  // detached from the caller's session and signals
        const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) {
            SetLastError(rc == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
            return FALSE;
        }
        r.state = SERVICE_START_PENDING;
        r.exitCode = 0;
        r.checkPoint = 0;
        r.waitHint = 2000;
        r.pid = static_cast<DWORD>(pid);
        r.connected = false;
        r.pendingControl = 0;
        writeRecord(h.name, r);
    }
    // As the real manager, return once the service program has connected its dispatcher.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        {
            StoreLock lock;
            Record r;
            if (!liveRecord(h.name, &r)) break;
            if (r.connected && r.pid == static_cast<DWORD>(pid)) return TRUE;
            if (r.pid != static_cast<DWORD>(pid)) break;  // it ended before it connected
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return FALSE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    journal("ControlService");
    ServiceHandle h;
    if (!lookup(service, HandleKind::Service, &h)) return FALSE;
    if (injectedFailure(ServiceCall::ControlService)) return FALSE;
    StoreLock lock;
    Record r;
    if (!liveRecord(h.name, &r)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
    }
    SERVICE_STATUS_PROCESS full;
    fillStatus(r, &full);
    if (status) std::memcpy(status, &full, sizeof *status);
    if (r.state == SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    const bool accepted = control == SERVICE_CONTROL_INTERROGATE ||
                          (control == SERVICE_CONTROL_STOP && (r.controlsAccepted & SERVICE_ACCEPT_STOP)) ||
                          ((control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) &&
                           (r.controlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE));
    if (!accepted || !r.connected) {
        SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return FALSE;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) return TRUE;
    r.pendingControl = control;
    return writeRecord(h.name, r) ? TRUE : FALSE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    HandleSet& set = handleSet();
    std::string kind = "?";
    {
        std::lock_guard<std::mutex> lock(set.lock);
        auto* h = reinterpret_cast<ServiceHandle*>(handle);
        if (set.open.erase(h) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            journal("CloseServiceHandle(invalid)");
            return FALSE;
        }
        kind = h->kind == HandleKind::Manager ? "manager" : "service";
        delete h;
    }
    journal("CloseServiceHandle(" + kind + ")");
    return TRUE;
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    const char* name = std::getenv("TALVO_STANDIN_SERVICE");
    if (!name || !*name) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);  // not started by the service control manager
        return FALSE;
    }
    if (!table || !table[0].lpServiceProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string service = name;
    {
        std::lock_guard<std::mutex> lock(serviceSide().lock);
        serviceSide().name = service;
    }
    {
        StoreLock lock;
        Record r;
        if (readRecord(service, &r)) {
            r.connected = true;
            r.pid = static_cast<DWORD>(getpid());
            writeRecord(service, r);
        }
    }
    std::wstring wideName(service.begin(), service.end());
    std::thread mainThread([&] {
        LPWSTR argv[] = {wideName.data(), nullptr};
        table[0].lpServiceProc(1, argv);
    });
    // Hand control requests to the handler until the service reports itself stopped.
    for (;;) {
        Record r;
        DWORD control = 0;
        {
            StoreLock lock;
            if (!readRecord(service, &r)) break;
            if (r.state == SERVICE_STOPPED) break;
            control = r.pendingControl;
            if (control) {
                r.pendingControl = 0;
                writeRecord(service, r);
            }
        }
        if (control) {
            LPHANDLER_FUNCTION_EX handler;
            LPVOID context;
            {
                std::lock_guard<std::mutex> lock(serviceSide().lock);
                handler = serviceSide().handler;
                context = serviceSide().context;
            }
            if (handler) handler(control, 0, nullptr, context);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    mainThread.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context) {
    ServiceSide& side = serviceSide();
    std::lock_guard<std::mutex> lock(side.lock);
    if (side.name.empty() || !serviceName || narrow(serviceName).empty()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    side.handler = handler;
    side.context = context;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(&side);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    ServiceSide& side = serviceSide();
    std::string name;
    {
        std::lock_guard<std::mutex> lock(side.lock);
        name = side.name;
    }
    if (handle != reinterpret_cast<SERVICE_STATUS_HANDLE>(&side) || name.empty() || !status) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    StoreLock lock;
    Record r;
    if (!readRecord(name, &r)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    r.state = status->dwCurrentState;
    r.checkPoint = status->dwCheckPoint;
    r.waitHint = status->dwWaitHint;
    r.exitCode = status->dwWin32ExitCode;
    r.specificExitCode = status->dwServiceSpecificExitCode;
    r.controlsAccepted = status->dwControlsAccepted;
    if (r.state == SERVICE_STOPPED) {
        r.connected = false;
        if (r.deleted) return unlink(recordPath(name).c_str()) == 0 ? TRUE : FALSE;
    }
    return writeRecord(name, r) ? TRUE : FALSE;
}
