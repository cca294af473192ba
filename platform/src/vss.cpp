// VSS of the stand-in: backup components that play a scenario, with the service's order rules, and a provider
// commit run as its own process for each snapshot set.
#include "text_internal.h"
#include "vss_internal.h"

#include <platform/paths.h>
#include <platform/testing_vss.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

using platform_test::VssOutcome;
using platform_test::VssScenario;

namespace {

std::mutex g_lock;
std::optional<VssScenario> g_scenario;
std::map<std::string, unsigned> g_calls;
std::vector<std::string> g_journal;
std::atomic<long> g_liveComponents{0};
long g_setsInProgress = 0;
int g_nextAsync = 1;
uint32_t g_nextId = 1;

std::string vssFolder() { return platform::standinRoot() + "/vss"; }
std::string scenarioPath() { return vssFolder() + "/scenario.txt"; }

std::string guidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

bool parseGuid(const std::string& text, GUID* guid) {
    unsigned d1, d2, d3, b[8];
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                    &b[3], &b[4], &b[5], &b[6], &b[7]) != 11) {
        return false;
    }
    guid->Data1 = d1;
    guid->Data2 = static_cast<uint16_t>(d2);
    guid->Data3 = static_cast<uint16_t>(d3);
    for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<uint8_t>(b[i]);
    return true;
}

std::string utf8FromWide(const std::wstring& text) { return platform::detail::toUtf8(text); }

std::wstring wideFromUtf8(const std::string& text) {
    const std::u16string units = platform::detail::utf16FromUtf8(text);
    std::wstring wide;
    for (size_t i = 0; i < units.size(); ++i) {
        const uint32_t u = units[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            wide.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00)));
            ++i;
        } else {
            wide.push_back(static_cast<wchar_t>(u));
        }
    }
    return wide;
}

// The scenario of this process, else the one written under the root for all processes.
std::optional<VssScenario> loadScenario();

// The outcome scripted for the next call of `method`, counting the call.
std::optional<VssOutcome> nextOutcome(const VssScenario& scenario, const std::string& method) {
    unsigned n;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        n = ++g_calls[method];
    }
    for (const auto& outcome : scenario.outcomes) {
        if (outcome.method == method && outcome.occurrence == n) return outcome;
    }
    return std::nullopt;
}

// One asynchronous operation: ends at a time, never, or when the provider's commit process ends.
class Operation {
public:
    explicit Operation(const VssOutcome& shape)
        : m_shape(shape), m_endAt(std::chrono::steady_clock::now() + std::chrono::milliseconds(shape.delayMs)) {}
    ~Operation() {
        stopCommit();
        if (m_reaper.joinable()) m_reaper.join();
    }

    const VssOutcome& shape() const { return m_shape; }

    // Runs the provider's commit; the operation ends with the process.
    void startCommit(const std::string& program, const std::vector<std::string>& args) {
        std::vector<std::string> words{program};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        std::lock_guard<std::mutex> lock(m_lock);
        m_byCommit = true;
        if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
            m_ended = true;
            m_status = VSS_E_UNEXPECTED_PROVIDER_ERROR;
            return;
        }
        m_pid = pid;
        m_reaper = std::thread([this, pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            std::lock_guard<std::mutex> guard(m_lock);
            m_pid = 0;
            if (!m_ended) {
                m_ended = true;
                if (WIFEXITED(status) && WEXITSTATUS(status) == 0) m_status = VSS_S_ASYNC_FINISHED;
                else if (WIFEXITED(status) && WEXITSTATUS(status) == 3) m_status = VSS_E_PROVIDER_VETO;
                else m_status = VSS_E_UNEXPECTED_PROVIDER_ERROR;
            }
            m_changed.notify_all();
        });
    }

    // Ends a commit still running, as an abort does: the provider is told to stop.
    void stopCommit() {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_pid > 0) kill(m_pid, SIGKILL);
        if (!m_ended) {
            m_ended = true;
            m_status = VSS_S_ASYNC_CANCELLED;
        }
        m_changed.notify_all();
    }

    void cancel() {
        std::lock_guard<std::mutex> lock(m_lock);
        refresh();
        if (!m_ended) {
            m_ended = true;
            m_status = VSS_S_ASYNC_CANCELLED;
        }
        if (m_pid > 0) kill(m_pid, SIGKILL);
        m_changed.notify_all();
    }

    // True when the operation ended within `milliseconds`.
    bool wait(DWORD milliseconds) {
        std::unique_lock<std::mutex> lock(m_lock);
        const auto until = milliseconds == INFINITE
                               ? std::chrono::steady_clock::time_point::max()
                               : std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            refresh();
            if (m_ended) return true;
            auto next = until;
            if (!m_byCommit && !m_shape.neverEnds && m_endAt < next) next = m_endAt;
            if (std::chrono::steady_clock::now() >= until) return false;
            if (next == std::chrono::steady_clock::time_point::max()) m_changed.wait(lock);
            else m_changed.wait_until(lock, next);
        }
    }

    // VSS_S_ASYNC_PENDING while it runs, else its final status.
    HRESULT status() {
        std::lock_guard<std::mutex> lock(m_lock);
        refresh();
        return m_ended ? m_status : VSS_S_ASYNC_PENDING;
    }

    bool endedWith(HRESULT status) { return this->status() == status; }
    bool running() { return status() == VSS_S_ASYNC_PENDING; }

private:
    void refresh() {
        if (!m_ended && !m_byCommit && !m_shape.neverEnds && std::chrono::steady_clock::now() >= m_endAt) {
            m_ended = true;
            m_status = m_shape.status;
        }
    }

    VssOutcome m_shape;
    std::chrono::steady_clock::time_point m_endAt;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_ended = false;
    bool m_byCommit = false;
    HRESULT m_status = VSS_S_ASYNC_PENDING;
    pid_t m_pid = 0;
    std::thread m_reaper;
};

class Async final : public IVssAsync {
public:
    explicit Async(std::shared_ptr<Operation> operation) : m_operation(std::move(operation)) {
        std::lock_guard<std::mutex> lock(g_lock);
        m_name = "async" + std::to_string(g_nextAsync++);
    }
    const std::string& name() const { return m_name; }

    HRESULT QueryInterface(REFIID, void** object) override {
        if (object) *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        platform::detail::vssJournal(m_name + ".Release " + std::to_string(left));
        if (left == 0) delete this;
        return left;
    }
    HRESULT Cancel() override {
        platform::detail::vssJournal(m_name + ".Cancel");
        m_operation->cancel();
        return S_OK;
    }
    HRESULT Wait(DWORD milliseconds) override {
        platform::detail::vssJournal(m_name + ".Wait " + std::to_string(milliseconds));
        const VssOutcome& shape = m_operation->shape();
        if (shape.waitResult != S_OK) return shape.waitResult;
        if (!m_operation->wait(milliseconds)) return S_OK;
        const HRESULT status = m_operation->status();
        return FAILED(status) && !shape.waitReturnsOk ? status : S_OK;
    }
    HRESULT QueryStatus(HRESULT* status, INT*) override {
        const VssOutcome& shape = m_operation->shape();
        if (shape.queryResult != S_OK) {
            platform::detail::vssJournal(m_name + ".QueryStatus " + platform::detail::hexCode(shape.queryResult));
            return shape.queryResult;
        }
        const HRESULT now = m_operation->status();
        platform::detail::vssJournal(m_name + ".QueryStatus " + platform::detail::hexCode(now));
        if (!status) return E_POINTER;
        *status = now;
        return S_OK;
    }

private:
    ~Async() = default;
    std::atomic<ULONG> m_refs{1};
    std::shared_ptr<Operation> m_operation;
    std::string m_name;
};

class Components final : public IVssBackupComponents {
public:
    explicit Components(VssScenario scenario) : m_scenario(std::move(scenario)) { ++g_liveComponents; }

    HRESULT QueryInterface(REFIID, void** object) override {
        if (object) *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        platform::detail::vssJournal("Release " + std::to_string(left));
        if (left == 0) delete this;
        return left;
    }

    HRESULT InitializeForBackup(BSTR xml) override {
        return call("InitializeForBackup", xml ? "xml" : "null", [&]() -> HRESULT {
            if (m_initialized) return VSS_E_BAD_STATE;
            m_initialized = true;
            return S_OK;
        });
    }

    HRESULT SetBackupState(bool selectComponents, bool bootable, VSS_BACKUP_TYPE type, bool partial) override {
        const std::string args = std::to_string(selectComponents) + " " + std::to_string(bootable) + " " +
                                 std::to_string(static_cast<int>(type)) + " " + std::to_string(partial);
        return call("SetBackupState", args, [&]() -> HRESULT { return m_initialized ? S_OK : VSS_E_BAD_STATE; });
    }

    HRESULT GatherWriterMetadata(IVssAsync** async) override {
        return start("GatherWriterMetadata", async, [&]() -> HRESULT {
            return m_initialized && !busy() ? S_OK : VSS_E_BAD_STATE;
        }, &m_metadata);
    }

    HRESULT StartSnapshotSet(VSS_ID* setId) override {
        return call("StartSnapshotSet", "", [&]() -> HRESULT {
            if (!m_initialized || busy() || !m_metadata || !m_metadata->endedWith(VSS_S_ASYNC_FINISHED)) {
                return VSS_E_BAD_STATE;
            }
            std::lock_guard<std::mutex> lock(g_lock);
            if (m_setStarted || g_setsInProgress > 0) return VSS_E_SNAPSHOT_SET_IN_PROGRESS;
            m_setStarted = true;
            m_holdsSet = true;
            ++g_setsInProgress;
            if (setId) *setId = GUID{0x5E7u, 0, 0, {0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(g_nextId++)}};
            return S_OK;
        });
    }

    HRESULT AddToSnapshotSet(VSS_PWSZ volume, VSS_ID providerId, VSS_ID* snapshotId) override {
        const std::string path = volume ? platform::detail::utf8FromUtf16(volume) : "(null)";
        return call("AddToSnapshotSet", path + " " + guidText(providerId), [&]() -> HRESULT {
            if (!m_setStarted || m_snapshot) return VSS_E_BAD_STATE;
            if (!volume) return E_INVALIDARG;
            if (!m_scenario.providerRegistered || !(providerId == m_scenario.registeredProvider)) {
                return VSS_E_PROVIDER_NOT_REGISTERED;
            }
            bool known = false;
            for (const auto& v : m_scenario.volumes) known = known || utf8FromWide(v) == path;
            if (!known) return VSS_E_OBJECT_NOT_FOUND;
            if (m_inSet.count(path)) return VSS_E_OBJECT_ALREADY_EXISTS;
            m_inSet.insert(path);
            std::lock_guard<std::mutex> lock(g_lock);
            if (snapshotId) *snapshotId = GUID{0x5A7u, 0, 0, {0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(g_nextId++)}};
            return S_OK;
        });
    }

    HRESULT PrepareForBackup(IVssAsync** async) override {
        return start("PrepareForBackup", async, [&]() -> HRESULT {
            return m_setStarted && !busy() && !m_prepare ? S_OK : VSS_E_BAD_STATE;
        }, &m_prepare);
    }

    HRESULT DoSnapshotSet(IVssAsync** async) override {
        return start("DoSnapshotSet", async, [&]() -> HRESULT {
            if (!m_prepare || !m_prepare->endedWith(VSS_S_ASYNC_FINISHED) || busy() || m_snapshot) {
                return VSS_E_BAD_STATE;
            }
            return m_inSet.empty() ? VSS_E_BAD_STATE : S_OK;
        }, &m_snapshot);
    }

    HRESULT BackupComplete(IVssAsync** async) override {
        const HRESULT hr = start("BackupComplete", async, [&]() -> HRESULT {
            if (!m_snapshot || !m_snapshot->endedWith(VSS_S_ASYNC_FINISHED) || busy() || m_complete) {
                return VSS_E_BAD_STATE;
            }
            return S_OK;
        }, &m_complete);
        if (hr == S_OK) endSet();
        return hr;
    }

    HRESULT AbortBackup() override {
        return call("AbortBackup", "", [&]() -> HRESULT {
            if (!m_initialized) return VSS_E_BAD_STATE;
            if (m_snapshot) m_snapshot->stopCommit();
            endSet();
            return S_OK;
        });
    }

    HRESULT GatherWriterStatus(IVssAsync** async) override {
        return start("GatherWriterStatus", async, [&]() -> HRESULT {
            if (!m_initialized || busy()) return VSS_E_BAD_STATE;
            m_statusFreed = false;
            return S_OK;
        }, &m_status);
    }

    HRESULT GetWriterStatusCount(UINT* count) override {
        return call("GetWriterStatusCount", "", [&]() -> HRESULT {
            if (!statusReady()) return VSS_E_BAD_STATE;
            if (!count) return E_POINTER;
            *count = static_cast<UINT>(m_scenario.writers.size());
            return S_OK;
        });
    }

    HRESULT GetWriterStatus(UINT index, VSS_ID* instanceId, VSS_ID* writerId, BSTR* name, VSS_WRITER_STATE* state,
                            HRESULT* failure) override {
        return call("GetWriterStatus", std::to_string(index), [&]() -> HRESULT {
            if (!statusReady()) return VSS_E_BAD_STATE;
            if (index >= m_scenario.writers.size()) return E_INVALIDARG;
            if (!instanceId || !writerId || !name || !state || !failure) return E_POINTER;
            const auto& writer = m_scenario.writers[index];
            *instanceId = writer.instanceId;
            *writerId = writer.writerId;
            *name = SysAllocString(writer.name.c_str());
            *state = writer.state;
            *failure = writer.failure;
            return S_OK;
        });
    }

    HRESULT FreeWriterStatus() override {
        return call("FreeWriterStatus", "", [&]() -> HRESULT {
            if (!statusReady()) return VSS_E_BAD_STATE;
            m_statusFreed = true;
            return S_OK;
        });
    }

private:
    ~Components() {
        if (m_snapshot) m_snapshot->stopCommit();
        endSet();
        --g_liveComponents;
    }

    template <typename Rule>
    HRESULT call(const std::string& method, const std::string& args, Rule rule) {
        const auto outcome = nextOutcome(m_scenario, method);
        std::string line = method + (args.empty() ? "" : " " + args);
        if (outcome && outcome->throwBadAlloc) {
            platform::detail::vssJournal(line + " throws");
            throw std::bad_alloc();
        }
        const HRESULT hr = outcome && outcome->result != S_OK ? outcome->result : rule();
        platform::detail::vssJournal(line + " = " + platform::detail::hexCode(hr));
        return hr;
    }

    template <typename Rule>
    HRESULT start(const std::string& method, IVssAsync** async, Rule rule, std::shared_ptr<Operation>* slot) {
        const auto outcome = nextOutcome(m_scenario, method);
        if (outcome && outcome->throwBadAlloc) {
            platform::detail::vssJournal(method + " throws");
            throw std::bad_alloc();
        }
        HRESULT hr = outcome && outcome->result != S_OK ? outcome->result : rule();
        if (hr == S_OK && !async) hr = E_POINTER;
        if (hr != S_OK) {
            platform::detail::vssJournal(method + " = " + platform::detail::hexCode(hr));
            return hr;
        }
        VssOutcome shape = outcome ? *outcome : VssOutcome{};
        auto operation = std::make_shared<Operation>(shape);
        if (method == "DoSnapshotSet" && !outcome && !m_scenario.commitProgram.empty()) {
            operation->startCommit(m_scenario.commitProgram, m_scenario.commitArgs);
        }
        *slot = operation;
        m_last = operation;
        auto* made = new Async(operation);
        platform::detail::vssJournal(method + " " + made->name() + " = 0");
        *async = made;
        return S_OK;
    }

    bool busy() { return m_last && m_last->running(); }
    bool statusReady() { return m_status && !m_statusFreed && m_status->endedWith(VSS_S_ASYNC_FINISHED); }
    void endSet() {
        std::lock_guard<std::mutex> lock(g_lock);
        if (m_holdsSet) {
            m_holdsSet = false;
            --g_setsInProgress;
        }
    }

    std::atomic<ULONG> m_refs{1};
    VssScenario m_scenario;
    bool m_initialized = false;
    bool m_setStarted = false;
    bool m_holdsSet = false;
    bool m_statusFreed = false;
    std::set<std::string> m_inSet;
    std::shared_ptr<Operation> m_metadata, m_prepare, m_snapshot, m_complete, m_status, m_last;
};

// Scenario file: one setting a line, words separated by tabs.
std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    std::istringstream in(line);
    while (std::getline(in, word, '\t')) words.push_back(word);
    return words;
}

HRESULT hexValue(const std::string& text) { return static_cast<HRESULT>(std::stoul(text, nullptr, 16)); }

std::optional<VssScenario> readScenarioFile() {
    std::ifstream in(scenarioPath());
    if (!in) return std::nullopt;
    VssScenario s;
    std::string line;
    while (std::getline(in, line)) {
        const auto w = splitTabs(line);
        if (w.empty()) continue;
        try {
            if (w[0] == "volume" && w.size() == 2) s.volumes.push_back(wideFromUtf8(w[1]));
            else if (w[0] == "provider" && w.size() == 3) {
                s.providerRegistered = w[1] == "1";
                parseGuid(w[2], &s.registeredProvider);
            } else if (w[0] == "writer" && w.size() == 6) {
                platform_test::VssWriterScript writer;
                writer.state = static_cast<VSS_WRITER_STATE>(std::stoi(w[1]));
                writer.failure = hexValue(w[2]);
                parseGuid(w[3], &writer.writerId);
                parseGuid(w[4], &writer.instanceId);
                writer.name = platform::detail::utf16FromUtf8(w[5]);
                s.writers.push_back(writer);
            } else if (w[0] == "outcome" && w.size() == 12) {
                VssOutcome o;
                o.method = w[1];
                o.occurrence = static_cast<unsigned>(std::stoul(w[2]));
                o.result = hexValue(w[3]);
                o.throwBadAlloc = w[4] == "1";
                o.status = hexValue(w[5]);
                o.waitReturnsOk = w[6] == "1";
                o.waitResult = hexValue(w[7]);
                o.queryResult = hexValue(w[8]);
                o.delayMs = static_cast<DWORD>(std::stoul(w[9]));
                o.neverEnds = w[10] == "1";
                s.outcomes.push_back(o);
            } else if (w[0] == "find" && w.size() == 4) {
                s.findFirstError = static_cast<DWORD>(std::stoul(w[1]));
                s.findNextFailAfter = static_cast<unsigned>(std::stoul(w[2]));
                s.findNextError = static_cast<DWORD>(std::stoul(w[3]));
            } else if (w[0] == "commit" && w.size() >= 2) {
                s.commitProgram = w[1];
                s.commitArgs.assign(w.begin() + 2, w.end());
            }
        } catch (const std::exception&) {
            // A line this reader cannot take is left out.
        }
    }
    return s;
}

std::optional<VssScenario> loadScenario() {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_scenario) return g_scenario;
    }
    return readScenarioFile();
}

// Volume enumeration handles: valid while in this set.
struct VolumeFind {
    std::vector<std::wstring> names;
    size_t next = 0;
    unsigned failAfter = 0;
    DWORD failError = 0;
};
std::set<VolumeFind*> g_finds;

// The machine without a scenario has one volume, its system drive.
const wchar_t* const kDefaultVolume = L"\\\\?\\Volume{3B5C4D2A-0000-4000-8000-000000000001}\\";

BOOL copyName(const std::wstring& name, LPWSTR buffer, DWORD length) {
    if (!buffer || name.size() + 1 > length) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    for (size_t i = 0; i < name.size(); ++i) buffer[i] = name[i];
    buffer[name.size()] = 0;
    return TRUE;
}

}  // namespace

void platform::detail::vssJournal(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_journal.push_back(line);
    mkdir(platform::standinRoot().c_str(), 0755);
    mkdir(vssFolder().c_str(), 0755);
    std::ofstream out(vssFolder() + "/journal.txt", std::ios::app);
    out << getpid() << '\t' << line << '\n';
}

std::string platform::detail::hexCode(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(static_cast<uint32_t>(hr)));
    return text;
}

std::string platform::detail::utf8FromUtf16(const std::u16string& text) { return toUtf8(text); }

std::u16string platform::detail::utf16FromUtf8(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        uint32_t c = 0xFFFD;
        size_t n = 1;
        if (b < 0x80) c = b;
        else if ((b >> 5) == 6) { c = b & 0x1F; n = 2; }
        else if ((b >> 4) == 14) { c = b & 0x0F; n = 3; }
        else if ((b >> 3) == 30) { c = b & 0x07; n = 4; }
        if (n > 1) {
            if (i + n > text.size()) { c = 0xFFFD; n = 1; }
            else {
                for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            }
        }
        i += n;
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

HRESULT CreateVssBackupComponentsInternal(IVssBackupComponents** components) {
    const auto scenario = loadScenario();
    if (!scenario) {
        platform::detail::vssJournal("CreateVssBackupComponentsInternal = " + platform::detail::hexCode(E_NOTIMPL));
        return E_NOTIMPL;
    }
    const auto outcome = nextOutcome(*scenario, "CreateVssBackupComponentsInternal");
    if (outcome && outcome->throwBadAlloc) {
        platform::detail::vssJournal("CreateVssBackupComponentsInternal throws");
        throw std::bad_alloc();
    }
    HRESULT hr = outcome ? outcome->result : S_OK;
    if (hr == S_OK && !components) hr = E_POINTER;
    platform::detail::vssJournal("CreateVssBackupComponentsInternal = " + platform::detail::hexCode(hr));
    if (hr != S_OK) return hr;
    *components = new Components(*scenario);
    return S_OK;
}

HANDLE FindFirstVolumeW(LPWSTR volumeName, DWORD bufferLength) {
    const auto scenario = loadScenario();
    auto find = std::make_unique<VolumeFind>();
    if (scenario) {
        if (scenario->findFirstError) {
            SetLastError(scenario->findFirstError);
            return INVALID_HANDLE_VALUE;
        }
        find->names = scenario->volumes;
        find->failAfter = scenario->findNextError ? scenario->findNextFailAfter : 0;
        find->failError = scenario->findNextError;
    } else {
        find->names = {kDefaultVolume};
    }
    if (find->names.empty()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return INVALID_HANDLE_VALUE;
    }
    if (!copyName(find->names[0], volumeName, bufferLength)) return INVALID_HANDLE_VALUE;
    find->next = 1;
    std::lock_guard<std::mutex> lock(g_lock);
    g_finds.insert(find.get());
    return find.release();
}

BOOL FindNextVolumeW(HANDLE findVolume, LPWSTR volumeName, DWORD bufferLength) {
    VolumeFind* find = static_cast<VolumeFind*>(findVolume);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_finds.count(find)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    if (find->failError && find->next == find->failAfter) {
        SetLastError(find->failError);
        return FALSE;
    }
    if (find->next >= find->names.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    if (!copyName(find->names[find->next], volumeName, bufferLength)) return FALSE;
    ++find->next;
    return TRUE;
}

BOOL FindVolumeClose(HANDLE findVolume) {
    VolumeFind* find = static_cast<VolumeFind*>(findVolume);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_finds.erase(find)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    platform::detail::vssJournal("FindVolumeClose");
    delete find;
    return TRUE;
}

void platform_test::setVssScenario(const VssScenario& scenario) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_scenario = scenario;
    g_calls.clear();
}

void platform_test::writeVssScenarioFile(const VssScenario& s) {
    mkdir(platform::standinRoot().c_str(), 0755);
    mkdir(vssFolder().c_str(), 0755);
    std::ofstream out(scenarioPath(), std::ios::trunc);
    for (const auto& v : s.volumes) out << "volume\t" << utf8FromWide(v) << '\n';
    out << "provider\t" << (s.providerRegistered ? "1" : "0") << '\t' << guidText(s.registeredProvider) << '\n';
    for (const auto& w : s.writers) {
        out << "writer\t" << static_cast<int>(w.state) << '\t' << platform::detail::hexCode(w.failure) << '\t'
            << guidText(w.writerId) << '\t' << guidText(w.instanceId) << '\t'
            << platform::detail::utf8FromUtf16(w.name) << '\n';
    }
    for (const auto& o : s.outcomes) {
        out << "outcome\t" << o.method << '\t' << o.occurrence << '\t' << platform::detail::hexCode(o.result) << '\t'
            << o.throwBadAlloc << '\t' << platform::detail::hexCode(o.status) << '\t' << o.waitReturnsOk << '\t'
            << platform::detail::hexCode(o.waitResult) << '\t' << platform::detail::hexCode(o.queryResult) << '\t'
            << o.delayMs << '\t' << o.neverEnds << "\t.\n";
    }
    out << "find\t" << s.findFirstError << '\t' << s.findNextFailAfter << '\t' << s.findNextError << '\n';
    if (!s.commitProgram.empty()) {
        out << "commit\t" << s.commitProgram;
        for (const auto& a : s.commitArgs) out << '\t' << a;
        out << '\n';
    }
}

void platform_test::clearVssScenario() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_scenario.reset();
    g_calls.clear();
}

std::vector<std::string> platform_test::vssJournal() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_journal;
}

void platform_test::clearVssJournal() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_journal.clear();
}

std::string platform_test::vssJournalPath() { return vssFolder() + "/journal.txt"; }
long platform_test::liveComponentsCount() { return g_liveComponents.load(); }
long platform_test::setsInProgress() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_setsInProgress;
}
