// Named kernel objects shared across processes: events, mutexes and paging-file mappings.
//
// An object is a file under <stand-in root>/objects, named after the object: a header page (magic, layout version,
// kind, the process-shared state) followed, for a mapping, by its bytes. Each process that holds a handle or a view
// holds one descriptor of the file with a shared flock; the kernel drops it when the process ends, killed or not.
// Under the namespace lock, a file that nobody holds is an absent object: an open fails, a create makes a new file.
// So a name lives exactly while a handle in any process holds it, as on Windows; a view keeps only the bytes.
#include "internal.h"
#include "text_internal.h"

#include <platform/paths.h>
#include <platform/testing.h>

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::detail {
namespace {

constexpr uint32_t kMagic = 0x4A424F54u;  // "TOBJ"
constexpr uint32_t kLayoutVersion = 1;
constexpr size_t kHeaderSize = 4096;
constexpr uint64_t kAllocationGranularity = 65536;

enum class Kind : uint32_t { Event = 1, Mutex = 2, Mapping = 3 };

struct Header {
    uint32_t magic;
    uint32_t version;
    uint32_t kind;
    uint32_t reserved;
    uint64_t size;          // a mapping's bytes
    pthread_mutex_t state;  // guards the event fields; robust, so a process killed inside does not block the rest
    pthread_mutex_t mutex;  // a mutex object: recursive, robust (a dead owner makes the next wait abandoned)
    uint32_t sequence;      // futex word, bumped at every set
    uint32_t manualReset;
    uint32_t signalled;
    uint32_t waiters;
    uint32_t releases;      // sets owed to threads that were waiting when they came
};
static_assert(sizeof(Header) <= kHeaderSize, "the header fits its page");

void lockState(Header* h) {
    if (pthread_mutex_lock(&h->state) == EOWNERDEAD) pthread_mutex_consistent(&h->state);
}
void unlockState(Header* h) { pthread_mutex_unlock(&h->state); }

long futex(uint32_t* word, int op, uint32_t value, const timespec* timeout) {
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

void initMutex(pthread_mutex_t* m, bool recursive) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
    pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
}

// One object as this process sees it: the held descriptor and the mapped header, shared by all of the process's
// handles and views of the object (one mapping per object, so each lock has one address in the process).
struct Core {
    Core(int fd_, Header* header_, dev_t dev_, ino_t ino_) : fd(fd_), header(header_), dev(dev_), ino(ino_) {}
    ~Core() {
        munmap(header, kHeaderSize);
        close(fd);  // drops this process's flock
    }
    int fd;
    Header* header;
    dev_t dev;
    ino_t ino;
};

struct Registry {
    std::mutex lock;
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Core>> cores;
    std::map<const void*, size_t> views;  // a view keeps the bytes, not the name
};

Registry& registry() {
    static auto* r = new Registry();  // views and handles may outlive static destruction
    return *r;
}

constexpr DWORD kNoInjectedWait = 0xFFFFFFFEu;
std::atomic<DWORD> g_injectedEventWait{kNoInjectedWait};

// The trace of named-event waits and sets; off unless a test or benchmark starts it, and then one atomic load
// per call otherwise.
std::atomic<bool> g_tracing{false};
std::mutex g_traceLock;
std::vector<platform_test::EventTraceEntry>& traceEntries() {
    static auto* entries = new std::vector<platform_test::EventTraceEntry>();
    return *entries;
}
void trace(const std::string& name, bool isSet, DWORD result) {
    if (name.empty() || !g_tracing.load(std::memory_order_relaxed)) return;
    const long long ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    std::lock_guard<std::mutex> hold(g_traceLock);
    traceEntries().push_back({name, isSet, result, ns});
}

class NamedObject final : public KernelObject {
public:
    NamedObject(std::shared_ptr<Core> core, std::string name) : m_core(std::move(core)), m_name(std::move(name)) {}
    Kind kind() const { return static_cast<Kind>(m_core->header->kind); }
    const std::shared_ptr<Core>& core() const { return m_core; }

    DWORD wait(DWORD milliseconds) override {
        switch (kind()) {
            case Kind::Event: {
                const DWORD injected = g_injectedEventWait.exchange(kNoInjectedWait);
                if (injected != kNoInjectedWait) {
                    if (injected == WAIT_FAILED) SetLastError(ERROR_INVALID_HANDLE);
                    trace(m_name, false, injected);
                    return injected;
                }
                const DWORD result = waitEvent(milliseconds);
                trace(m_name, false, result);
                return result;
            }
            case Kind::Mutex: return waitMutex(milliseconds);
            default: SetLastError(ERROR_INVALID_HANDLE); return WAIT_FAILED;
        }
    }

    bool setEvent() override {
        if (kind() != Kind::Event) return false;
        Header* h = m_core->header;
        lockState(h);
        int wake = 1;
        if (h->manualReset) {
            h->signalled = 1;
            wake = INT_MAX;
        } else if (h->waiters > h->releases) {
            // Each set releases one thread that waits now, even when a second set comes before it runs.
            ++h->releases;
            wake = INT_MAX;
        } else {
            h->signalled = 1;
        }
        ++h->sequence;
        unlockState(h);
        futex(&h->sequence, FUTEX_WAKE, static_cast<uint32_t>(wake), nullptr);
        trace(m_name, true, 0);
        return true;
    }

    bool resetEvent() override {
        if (kind() != Kind::Event) return false;
        lockState(m_core->header);
        m_core->header->signalled = 0;
        unlockState(m_core->header);
        return true;
    }

    bool releaseMutex() {
        if (kind() != Kind::Mutex) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        // Asked of the owner field first: unlocking another thread's mutex is a fault to the thread checker.
        pthread_mutex_t* m = &m_core->header->mutex;
        if (__atomic_load_n(&m->__data.__owner, __ATOMIC_RELAXED) != static_cast<int>(GetCurrentThreadId()) ||
            pthread_mutex_unlock(m) != 0) {
            SetLastError(ERROR_NOT_OWNER);
            return false;
        }
        return true;
    }

private:
    DWORD waitEvent(DWORD milliseconds) {
        const Deadline deadline(milliseconds);
        Header* h = m_core->header;
        lockState(h);
        for (;;) {
            if (h->releases > 0) {
                --h->releases;
                break;
            }
            if (h->signalled) {
                if (!h->manualReset) h->signalled = 0;
                break;
            }
            timespec remaining{};
            if (!deadline.infinite) {
                const auto left = deadline.at - std::chrono::steady_clock::now();
                if (left <= std::chrono::steady_clock::duration::zero()) {
                    unlockState(h);
                    return WAIT_TIMEOUT;
                }
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                remaining.tv_sec = static_cast<time_t>(ns / 1000000000);
                remaining.tv_nsec = static_cast<long>(ns % 1000000000);
            }
            ++h->waiters;
            const uint32_t seen = h->sequence;
            unlockState(h);
            futex(&h->sequence, FUTEX_WAIT, seen, deadline.infinite ? nullptr : &remaining);
            lockState(h);
            --h->waiters;
        }
        unlockState(h);
        return WAIT_OBJECT_0;
    }

    DWORD waitMutex(DWORD milliseconds) {
        pthread_mutex_t* m = &m_core->header->mutex;
        int rc;
        if (milliseconds == 0) {
            rc = pthread_mutex_trylock(m);
        } else if (milliseconds == INFINITE) {
            rc = pthread_mutex_lock(m);
        } else {
            timespec at;
            clock_gettime(CLOCK_REALTIME, &at);
            at.tv_sec += milliseconds / 1000;
            at.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
            if (at.tv_nsec >= 1000000000) {
                ++at.tv_sec;
                at.tv_nsec -= 1000000000;
            }
            rc = pthread_mutex_timedlock(m, &at);
        }
        switch (rc) {
            case 0: return WAIT_OBJECT_0;
            case EOWNERDEAD: pthread_mutex_consistent(m); return WAIT_ABANDONED;  // the waiter now owns it
            case EBUSY:
            case ETIMEDOUT: return WAIT_TIMEOUT;
            default: SetLastError(ERROR_INVALID_HANDLE); return WAIT_FAILED;
        }
    }

    std::shared_ptr<Core> m_core;
    const std::string m_name;  // empty for an unnamed object
};

std::string objectFolder() { return platform::standinRoot() + "/objects"; }

// A file name for the object name: letters and digits kept, every other byte escaped; long names end in a hash.
std::string fileNameFor(const std::string& name) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (out.size() > 200) {
        uint64_t hash = 1469598103934665603ull;
        for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
        char tail[24];
        snprintf(tail, sizeof tail, "#%016llx", static_cast<unsigned long long>(hash));
        out = out.substr(0, 180) + tail;
    }
    return out;
}

// Held for every create and open, so an open never races the creation of the same name.
class NamespaceLock {
public:
    explicit NamespaceLock(const std::string& folder) {
        m_fd = open((folder + "/.namespace.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            fchmod(m_fd, 0666);
            while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~NamespaceLock() {
        if (m_fd >= 0) close(m_fd);
    }
    bool held() const { return m_fd >= 0; }

private:
    int m_fd;
};

bool nullDacl(LPSECURITY_ATTRIBUTES attributes) {
    if (!attributes || !attributes->lpSecurityDescriptor) return false;
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
    return (sd->Control & SE_DACL_PRESENT) && sd->Dacl == nullptr;
}

void initHeader(Header* h, Kind kind, uint64_t size, bool manualReset, bool initialState) {
    std::memset(h, 0, sizeof(Header));
    h->kind = static_cast<uint32_t>(kind);
    h->size = size;
    initMutex(&h->state, false);
    initMutex(&h->mutex, true);
    h->manualReset = manualReset ? 1 : 0;
    h->signalled = initialState ? 1 : 0;
    h->version = kLayoutVersion;
    __atomic_store_n(&h->magic, kMagic, __ATOMIC_RELEASE);
}

Header* mapHeader(int fd) {
    void* p = mmap(nullptr, kHeaderSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<Header*>(p);
}

// The process's core of the file open on `fd` (taking the descriptor), or a new one.
std::shared_ptr<Core> coreFor(int fd, Header* header) {
    struct stat st;
    fstat(fd, &st);
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    auto& slot = r.cores[{st.st_dev, st.st_ino}];
    if (auto existing = slot.lock()) {
        if (header) munmap(header, kHeaderSize);
        close(fd);
        return existing;
    }
    if (!header) header = mapHeader(fd);
    if (!header) {
        close(fd);
        return nullptr;
    }
    auto core = std::make_shared<Core>(fd, header, st.st_dev, st.st_ino);
    slot = core;
    return core;
}

struct Request {
    Kind kind;
    bool create;
    uint64_t size = 0;  // a new mapping's bytes
    bool manualReset = false;
    bool initialState = false;
    LPSECURITY_ATTRIBUTES attributes = nullptr;
};

HANDLE fail(DWORD error) {
    SetLastError(error);
    return nullptr;
}

// Windows knows the namespaces "Global\" and "Local\" (and no folders within them): any other path is missing.
bool validNamespace(const std::string& name) {
    const size_t slash = name.find('\\');
    if (slash == std::string::npos) return true;
    const std::string space = name.substr(0, slash);
    return (space == "Global" || space == "Local") && name.find('\\', slash + 1) == std::string::npos;
}

// Create-or-open or open of a named object. On success the last error is 0, or ERROR_ALREADY_EXISTS for a create
// that opened an existing object; `*created` tells which.
HANDLE namedObject(const std::string& name, const Request& request, bool* created) {
    if (name.size() > MAX_PATH) return fail(ERROR_FILENAME_EXCED_RANGE);
    if (!validNamespace(name)) return fail(ERROR_PATH_NOT_FOUND);
    const std::string folder = objectFolder();
    if (!makeFolders(folder)) return fail(win32FromErrno(errno, true));
    NamespaceLock nsLock(folder);
    if (!nsLock.held()) return fail(win32FromErrno(errno, true));
    const std::string path = folder + "/" + fileNameFor(name);
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | (request.create ? O_CREAT : 0), 0600);
    if (fd < 0) return fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : win32FromErrno(errno, false));

    std::shared_ptr<Core> core;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Nobody holds it: whatever the file holds is left from objects gone.
        unlink(path.c_str());
        close(fd);
        if (!request.create) return fail(ERROR_FILE_NOT_FOUND);
        // A new file: views of the object gone may still map the old one.
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL, 0600);
        if (fd < 0) return fail(win32FromErrno(errno, false));
        if (ftruncate(fd, static_cast<off_t>(kHeaderSize + request.size)) != 0) {
            const DWORD error = win32FromErrno(errno, false);
            close(fd);
            return fail(error);
        }
        Header* header = mapHeader(fd);
        if (!header) {
            close(fd);
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        initHeader(header, request.kind, request.size, request.manualReset, request.initialState);
        fchmod(fd, nullDacl(request.attributes) ? 0666 : 0600);
        flock(fd, LOCK_SH);
        core = coreFor(fd, header);
        if (created) *created = true;
    } else {
        struct stat st;
        if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < kHeaderSize) {
            close(fd);
            return fail(ERROR_INVALID_HANDLE);
        }
        Header* header = mapHeader(fd);
        if (!header) {
            close(fd);
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        // Another layout (a process of another build) or another kind of object under the name.
        if (__atomic_load_n(&header->magic, __ATOMIC_ACQUIRE) != kMagic || header->version != kLayoutVersion ||
            header->kind != static_cast<uint32_t>(request.kind) ||
            static_cast<uint64_t>(st.st_size) < kHeaderSize + header->size) {
            munmap(header, kHeaderSize);
            close(fd);
            return fail(ERROR_INVALID_HANDLE);
        }
        flock(fd, LOCK_SH);
        core = coreFor(fd, header);
        if (created) *created = false;
    }
    if (!core) return fail(ERROR_NOT_ENOUGH_MEMORY);
    HANDLE handle = publish(new NamedObject(core, name));
    SetLastError(created && !*created ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// An object without a name: private to the process, in anonymous shared memory.
HANDLE unnamedObject(const Request& request) {
    int fd = memfd_create("talvo-object", MFD_CLOEXEC);
    if (fd < 0) return fail(win32FromErrno(errno, false));
    if (ftruncate(fd, static_cast<off_t>(kHeaderSize + request.size)) != 0) {
        const DWORD error = win32FromErrno(errno, false);
        close(fd);
        return fail(error);
    }
    Header* header = mapHeader(fd);
    if (!header) {
        close(fd);
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    initHeader(header, request.kind, request.size, request.manualReset, request.initialState);
    auto core = coreFor(fd, header);
    if (!core) return fail(ERROR_NOT_ENOUGH_MEMORY);
    HANDLE handle = publish(new NamedObject(core, std::string()));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE createObject(LPCSTR name, const Request& request, bool* created) {
    if (!name || !*name) {
        if (created) *created = true;
        return unnamedObject(request);
    }
    return namedObject(name, request, created);
}

HANDLE openObject(LPCSTR name, Kind kind) {
    if (!name) return fail(ERROR_INVALID_PARAMETER);
    if (!*name) return fail(ERROR_INVALID_NAME);
    Request request{kind, false};
    return namedObject(name, request, nullptr);
}

HANDLE createMutex(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name) {
    Request request{Kind::Mutex, true};
    request.attributes = attributes;
    bool created = false;
    HANDLE handle = createObject(name, request, &created);
    if (handle && created && initialOwner) {
        WaitForSingleObject(handle, INFINITE);
        SetLastError(ERROR_SUCCESS);
    }
    return handle;
}

HANDLE createMapping(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD high, DWORD low,
                     LPCSTR name) {
    if (file != INVALID_HANDLE_VALUE) return fail(ERROR_NOT_SUPPORTED);  // only the paging file backs mappings here
    if (protect != PAGE_READWRITE && protect != PAGE_READONLY) return fail(ERROR_INVALID_PARAMETER);
    const uint64_t size = (static_cast<uint64_t>(high) << 32) | low;
    if (size == 0) return fail(ERROR_INVALID_PARAMETER);
    Request request{Kind::Mapping, true};
    request.size = size;
    request.attributes = attributes;
    bool created = false;
    return createObject(name, request, &created);
}

std::vector<int>& foreignHolders() {
    static auto* fds = new std::vector<int>();
    return *fds;
}

}  // namespace

HANDLE createNamedEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name) {
    Request request{Kind::Event, true};
    request.manualReset = manualReset != FALSE;
    request.initialState = initialState != FALSE;
    request.attributes = attributes;
    bool created = false;
    return namedObject(name, request, &created);
}

}  // namespace platform::detail

using namespace platform::detail;

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
    if (revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (!descriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
    std::memset(sd, 0, sizeof(SECURITY_DESCRIPTOR));
    sd->Revision = static_cast<BYTE>(revision);
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl, BOOL daclDefaulted) {
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
    if (!sd || sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    sd->Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(sd->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (daclPresent) {
        sd->Control |= SE_DACL_PRESENT;
        if (daclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
        sd->Dacl = dacl;
    } else {
        sd->Dacl = nullptr;
    }
    return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    const std::string narrow = name ? toUtf8(name) : std::string();
    return CreateEventA(attributes, manualReset, initialState, name ? narrow.c_str() : nullptr);
}

HANDLE OpenEventA(DWORD, BOOL, LPCSTR name) { return openObject(name, Kind::Event); }
HANDLE OpenEventW(DWORD access, BOOL inherit, LPCWSTR name) {
    return name ? OpenEventA(access, inherit, toUtf8(name).c_str()) : fail(ERROR_INVALID_PARAMETER);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name) {
    return createMutex(attributes, initialOwner, name);
}
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name) {
    return createMutex(attributes, initialOwner, name ? toUtf8(name).c_str() : nullptr);
}
HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) { return openObject(name, Kind::Mutex); }
HANDLE OpenMutexW(DWORD access, BOOL inherit, LPCWSTR name) {
    return name ? OpenMutexA(access, inherit, toUtf8(name).c_str()) : fail(ERROR_INVALID_PARAMETER);
}

BOOL ReleaseMutex(HANDLE handle) {
    KernelObject* object = acquire(handle);
    if (!object) return FALSE;
    auto* named = dynamic_cast<NamedObject*>(object);
    const bool ok = named ? named->releaseMutex() : false;
    if (!named) SetLastError(ERROR_INVALID_HANDLE);
    release(object);
    return ok ? TRUE : FALSE;
}

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD high, DWORD low,
                          LPCSTR name) {
    return createMapping(file, attributes, protect, high, low, name);
}
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD high, DWORD low,
                          LPCWSTR name) {
    return createMapping(file, attributes, protect, high, low, name ? toUtf8(name).c_str() : nullptr);
}
HANDLE OpenFileMappingA(DWORD, BOOL, LPCSTR name) { return openObject(name, Kind::Mapping); }
HANDLE OpenFileMappingW(DWORD access, BOOL inherit, LPCWSTR name) {
    return name ? OpenFileMappingA(access, inherit, toUtf8(name).c_str()) : fail(ERROR_INVALID_PARAMETER);
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
    KernelObject* object = acquire(mapping);
    if (!object) return nullptr;
    auto* named = dynamic_cast<NamedObject*>(object);
    std::shared_ptr<Core> core = named && named->kind() == Kind::Mapping ? named->core() : nullptr;
    release(object);
    if (!core) return fail(ERROR_INVALID_HANDLE);
    const uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    const uint64_t size = core->header->size;
    if (offset % kAllocationGranularity != 0) return fail(ERROR_MAPPED_ALIGNMENT);
    if (offset >= size) return fail(ERROR_ACCESS_DENIED);
    const uint64_t length = bytes ? bytes : size - offset;
    // A view past the object's end would fault on first touch: refuse it, as Windows does.
    if (length > size - offset) return fail(ERROR_ACCESS_DENIED);
    const int prot = PROT_READ | ((access & FILE_MAP_WRITE) ? PROT_WRITE : 0);
    // Mapped through a descriptor of its own, without the handles' lock: a mapping holds its descriptor's lock,
    // and a view must keep the bytes, not the name.
    const int viewFd = open(("/proc/self/fd/" + std::to_string(core->fd)).c_str(), O_RDWR | O_CLOEXEC);
    if (viewFd < 0) return fail(win32FromErrno(errno, false));
    void* view = mmap(nullptr, length, prot, MAP_SHARED, viewFd, static_cast<off_t>(kHeaderSize + offset));
    const int mapError = errno;
    close(viewFd);
    if (view == MAP_FAILED) return fail(win32FromErrno(mapError, false));
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    r.views[view] = static_cast<size_t>(length);
    SetLastError(ERROR_SUCCESS);
    return view;
}

BOOL UnmapViewOfFile(LPCVOID view) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    auto it = r.views.find(view);
    if (it == r.views.end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    munmap(const_cast<void*>(view), it->second);
    r.views.erase(it);
    return TRUE;
}

bool platform_test::plantForeignLayoutObject(const char* name) {
    const std::string folder = objectFolder();
    if (!makeFolders(folder)) return false;
    NamespaceLock nsLock(folder);
    const std::string path = folder + "/" + fileNameFor(name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(kHeaderSize * 2)) != 0) {
        close(fd);
        return false;
    }
    const uint32_t words[] = {kMagic, kLayoutVersion + 1, static_cast<uint32_t>(Kind::Mapping), 0};
    if (pwrite(fd, words, sizeof words, 0) != static_cast<ssize_t>(sizeof words)) {
        close(fd);
        return false;
    }
    flock(fd, LOCK_SH);
    foreignHolders().push_back(fd);
    return true;
}

void platform_test::releaseForeignLayoutObjects() {
    for (int fd : foreignHolders()) close(fd);
    foreignHolders().clear();
}

void platform_test::injectNextEventWait(DWORD result) { g_injectedEventWait = result; }
void platform_test::clearEventWaitInjection() { g_injectedEventWait = kNoInjectedWait; }

void platform_test::startEventTrace() {
    std::lock_guard<std::mutex> hold(g_traceLock);
    traceEntries().clear();
    g_tracing = true;
}

std::vector<platform_test::EventTraceEntry> platform_test::stopEventTrace() {
    g_tracing = false;
    std::lock_guard<std::mutex> hold(g_traceLock);
    std::vector<EventTraceEntry> entries;
    entries.swap(traceEntries());
    return entries;
}
