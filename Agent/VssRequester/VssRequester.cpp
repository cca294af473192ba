#include "VssRequester.h"

#include "Logger.h"
#include "Tweaks.h"
#include "VisibleLineEnds.h"

#include <cstdio>

const GUID ProviderId = {0x4CA6E6D4, 0x15AF, 0x432D, {0xBF, 0x02, 0xA6, 0x33, 0xB6, 0xF7, 0x1A, 0xCE}};

namespace {

const HRESULT kProviderVeto = static_cast<HRESULT>(0x80042306u);
const HRESULT kAsyncFinished = static_cast<HRESULT>(0x0004230Au);

// Text that crosses the VSS/COM boundary is in OLECHAR units: UTF-16 whatever the width of wchar_t.
typedef std::basic_string<OLECHAR> OleText;

OleText toOleText(const std::wstring& text) {
    if constexpr (sizeof(wchar_t) == sizeof(OLECHAR)) {
        return OleText(text.begin(), text.end());
    } else {
        OleText units;
        units.reserve(text.size());
        for (wchar_t c : text) {
            const auto point = static_cast<uint32_t>(c);
            if (point >= 0x10000 && point <= 0x10FFFF) {
                units.push_back(static_cast<OLECHAR>(0xD800 + ((point - 0x10000) >> 10)));
                units.push_back(static_cast<OLECHAR>(0xDC00 + ((point - 0x10000) & 0x3FF)));
            } else {
                units.push_back(static_cast<OLECHAR>(point > 0x10FFFF ? 0xFFFD : point));
            }
        }
        return units;
    }
}

// UTF-8 of UTF-16 units; an unpaired surrogate becomes U+FFFD instead of failing.
std::string toUtf8(const OLECHAR* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length) {
            const uint32_t low = static_cast<uint16_t>(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string toUtf8(const OleText& text) { return toUtf8(text.data(), text.size()); }

std::string toUtf8(BSTR text) {
    if (!text) return std::string();
    size_t length = 0;
    while (text[length]) ++length;
    return toUtf8(text, length);
}

// Lowercase hexadecimal without prefix or padding; no stream flags involved.
std::string hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(static_cast<uint32_t>(hr)));
    return text;
}

// COM on this thread for one sequence: undone only when this call's initialisation counted (S_OK or S_FALSE).
class ComApartment {
public:
    explicit ComApartment(HRESULT result) : m_result(result) {}
    ~ComApartment() {
        if (m_result == S_OK || m_result == S_FALSE) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT result() const { return m_result; }

private:
    HRESULT m_result;
};

// The components of one sequence: aborted unless the sequence got through, then released, on every way out.
class BackupComponents {
public:
    BackupComponents() = default;
    BackupComponents(const BackupComponents&) = delete;
    BackupComponents& operator=(const BackupComponents&) = delete;
    ~BackupComponents() {
        if (!m_components) return;
        if (m_abortUnlessDone) {
            try {
                LOG_FN(Info, "VssRequester::DoSnapshot") << "AbortBackup..." << std::endl;
            } catch (...) {
            }
            try {
                m_components->AbortBackup();
            } catch (...) {
            }
        }
        try {
            LOG_FN(Info, "VssRequester::DoSnapshot") << "Releasing backup components" << std::endl;
        } catch (...) {
        }
        m_components->Release();
    }
    IVssBackupComponents** out() { return &m_components; }
    IVssBackupComponents* operator->() const { return m_components; }
    IVssBackupComponents* get() const { return m_components; }
    void abortUnlessDone() { m_abortUnlessDone = true; }
    void done() { m_abortUnlessDone = false; }

private:
    IVssBackupComponents* m_components = nullptr;
    bool m_abortUnlessDone = false;
};

class AsyncRelease {
public:
    explicit AsyncRelease(IVssAsync* async) : m_async(async) {}
    ~AsyncRelease() { m_async->Release(); }
    AsyncRelease(const AsyncRelease&) = delete;
    AsyncRelease& operator=(const AsyncRelease&) = delete;

private:
    IVssAsync* m_async;
};

bool selected(const OleText& path, const std::vector<OleText>& filter) {
    if (filter.empty()) return true;
    for (const auto& entry : filter) {
        if (path.find(entry) != OleText::npos) return true;
    }
    return false;
}

}  // namespace

const std::map<uint32_t, std::string>& vssErrorTexts() {
    static const std::map<uint32_t, std::string> texts = {
        {0x8000FFFF, "The shadow copy provider had an error. Please see the system and application event logs for "
                     "more information"},
        {0x80042301, "VSS_E_BAD_STATE"},
        {0x80042302, "VSS_E_UNEXPECTED"},
        {0x80042304, "VSS_E_PROVIDER_NOT_REGISTERED"},
        {0x80042306, "VSS_E_PROVIDER_VETO"},
        {0x80042308, "VSS_E_OBJECT_NOT_FOUND"},
        {0x8004230C, "VSS_E_VOLUME_NOT_SUPPORTED"},
        {0x8004230D, "VSS_E_OBJECT_ALREADY_EXISTS"},
        {0x8004230E, "VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER"},
        {0x8004230F, "VSS_E_UNEXPECTED_PROVIDER_ERROR"},
        {0x80042311, "VSS_E_INVALID_XML_DOCUMENT"},
        {0x80042312, "VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED"},
        {0x80042313, "The shadow copy provider timed out while flushing data to the volume being shadow copied"},
        {0x80042314, "VSS encountered problems while sending events to writers"},
        {0x80042315,
         "An error occurred while trying to contact VSS writers. Check for associated errors in the event log"},
        {0x80042316, "Another shadow copy creation is already in progress. Please wait a few moments and try again"},
        {0x80042317, "VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED"},
        {0x80042318,
         "An error occurred while trying to contact VSS writers. Check for associated errors in the event log"},
        {0x80042319, "A writer did not respond to a GatherWriterStatus call the writer may either have terminated or "
                     "it may be stuck"},
        {0x80042320, "No shadow copies were successfully imported"},
        {0x80042321, "Some shadow copies were not successfully imported"},
        {0x80042324, "The remote is running a version of the Volume Shadow Copy Service that does not support remote "
                     "shadow-copy creation"},
        {0x80042325, "A revert is currently in progress for the specified volume. Another revert cannot be initiated "
                     "until the current revert completes"},
        {0x80042326, "The volume being reverted was lost during revert"},
        {0x8004232C, "VSS_E_NESTED_VOLUME_LIMIT"},
        {0x8004232A, "VSS_E_UNSELECTED_VOLUME"},
        {0x8004232B, "VSS_E_SNAPSHOT_NOT_IN_SET"},
        {0x800423F7, "VSS_E_LEGACY_PROVIDER"},
        {0x800423FE, "VSS_E_CANNOT_REVERT_DISKID"},
        {0x800423FF, "VSS_E_RESYNC_IN_PROGRESS"},
    };
    return texts;
}

const std::map<uint32_t, std::string>& vssWriterStateNames() {
    static const std::map<uint32_t, std::string> names = {
        {0, "VSS_WS_UNKNOWN"},
        {1, "VSS_WS_STABLE"},
        {2, "VSS_WS_WAITING_FOR_FREEZE"},
        {3, "VSS_WS_WAITING_FOR_THAW"},
        {4, "VSS_WS_WAITING_FOR_POST_SNAPSHOT"},
        {5, "VSS_WS_WAITING_FOR_BACKUP_COMPLETE"},
        {6, "VSS_WS_FAILED_AT_IDENTIFY"},
        {7, "VSS_WS_FAILED_AT_PREPARE_BACKUP"},
        {8, "VSS_WS_FAILED_AT_PREPARE_SNAPSHOT"},
        {9, "VSS_WS_FAILED_AT_FREEZE"},
        {10, "VSS_WS_FAILED_AT_THAW"},
        {11, "VSS_WS_FAILED_AT_POST_SNAPSHOT"},
        {12, "VSS_WS_FAILED_AT_BACKUP_COMPLETE"},
        {13, "VSS_WS_FAILED_AT_PRE_RESTORE"},
        {14, "VSS_WS_FAILED_AT_POST_RESTORE"},
        {15, "VSS_WS_FAILED_AT_BACKUPSHUTDOWN"},
        {16, "VSS_WS_COUNT"},
    };
    return names;
}

std::string hresultToText(HRESULT hr) {
    const auto& texts = vssErrorTexts();
    const auto found = texts.find(static_cast<uint32_t>(hr));
    return found == texts.end() ? std::string() : " (" + found->second + ") ";
}

std::string writerStateToText(int state) {
    const auto& names = vssWriterStateNames();
    const auto found = names.find(static_cast<uint32_t>(state));
    return found == names.end() ? std::string() : " (" + found->second + ") ";
}

void output_error(const std::string& message, HRESULT hr) {
    LOG(Error) << message << hex(hr) << hresultToText(hr) << std::endl;
}

namespace {

// True when the call failed, which is then logged as "<call> failed with error code ...".
bool failedCall(HRESULT hr, const std::string& call) {
    if (SUCCEEDED(hr)) return false;
    output_error(call + " failed with error code ", hr);
    return true;
}

// One step of DoSnapshot: "<call>..." in its log, the call, and the call's failure logged.
template <class Call>
HRESULT snapshotStep(const char* call, Call run) {
    LOG_FN(Info, "VssRequester::DoSnapshot") << call << "..." << std::endl;
    const HRESULT hr = run();
    failedCall(hr, call);
    return hr;
}

// DoSnapshot's checks after an asynchronous step, each failure logged in its log.
bool waited(IVssAsync* async, HRESULT* out) {
    if (waitForAsync(async, out)) return true;
    LOG_FN(Error, "VssRequester::DoSnapshot") << "waitForAsync failed" << std::endl;
    return false;
}

bool writersReported(IVssBackupComponents* components) {
    if (gatherWriterStatus(components)) return true;
    LOG_FN(Error, "VssRequester::DoSnapshot") << "gatherWriterStatus failed" << std::endl;
    return false;
}

}  // namespace

std::string guidToString(const GUID& guid) {
    LPOLESTR text = nullptr;
    if (FAILED(StringFromCLSID(guid, &text)) || !text) return std::string();
    struct Free {
        LPOLESTR text;
        ~Free() { CoTaskMemFree(text); }
    } free{text};
    std::string narrow;
    for (const OLECHAR* unit = text; *unit; ++unit) narrow.push_back(static_cast<char>(*unit & 0xFF));
    return narrow;
}

std::vector<std::wstring> getVolumeList() {
    std::vector<std::wstring> volumes;
    WCHAR buffer[MAX_PATH];
    HANDLE find = FindFirstVolumeW(buffer, MAX_PATH);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        LOG(Error) << "FindFirstVolumeW failed with error code " << static_cast<uint32_t>(error) << std::endl;
        return volumes;
    }
    struct Close {
        HANDLE find;
        ~Close() { FindVolumeClose(find); }
    } close{find};
    for (;;) {
        volumes.emplace_back(buffer);
        if (!FindNextVolumeW(find, buffer, MAX_PATH)) break;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        LOG(Error) << "FindNextVolumeW failed with error code " << static_cast<uint32_t>(error) << std::endl;
    }
    return volumes;
}

bool waitForAsync(IVssAsync* pAsync, HRESULT* out) {
    if (!pAsync) {
        LOG(Info) << "pAsync is null so not waiting" << std::endl;
        return false;
    }
    AsyncRelease release(pAsync);
    // Read while guarded: the flow has read it, and so checked it, before the guards engaged.
    const int timeout = Tweaks::instance()->intVal("t_WaitAsyncTimeoutMsec");
    LOG(Info) << "waiting async for: " << timeout << " Msec" << std::endl;
    *out = pAsync->Wait(static_cast<DWORD>(timeout));
    if (*out != S_OK) {
        output_error("pAsync->Wait() failed with error code ", *out);
        return false;
    }
    LOG(Info) << "about to query status" << std::endl;
    HRESULT status = 0;
    *out = pAsync->QueryStatus(&status, NULL);
    if (*out != S_OK) {
        output_error("pAsync->QueryStatus() failed with error code ", *out);
        return false;
    }
    if (status == kAsyncFinished || status == S_OK) return true;
    // Still pending after the wait, cancelled, or failed: the sequence must not go on as if it had finished.
    output_error("pAsync->QueryStatus() retrieved the error code ", status);
    if (status == kProviderVeto || SUCCEEDED(status)) *out = status;
    return false;
}

void PrintAllWriterStatuses(IVssBackupComponents* components) {
    UINT count = 0;
    HRESULT hr = components->GetWriterStatusCount(&count);
    if (failedCall(hr, "GetWriterStatusCount")) return;
    LOG(Info) << "GetWriterStatusCount returned number of writers: " << count << std::endl;
    for (UINT i = 0; i < count; ++i) {
        VSS_ID instanceId{}, writerId{};
        BSTR name = nullptr;
        VSS_WRITER_STATE state = VSS_WS_UNKNOWN;
        HRESULT failure = S_OK;
        hr = components->GetWriterStatus(i, &instanceId, &writerId, &name, &state, &failure);
        if (failedCall(hr, "GetWriterStatus " + std::to_string(i))) continue;
        struct Free {
            BSTR name;
            ~Free() { SysFreeString(name); }
        } free{name};
        const int stateNumber = static_cast<int>(state);
        // Writer names come from third-party writers.
        LOG(Info) << "GetWriterStatus for writer " << i << ": " << " WriterName: " << visibleLineEnds(toUtf8(name))
                  << " . " << " Status: " << stateNumber << writerStateToText(stateNumber)
                  << " Writer Failure code: " << hex(failure) << " Writer ID: " << guidToString(writerId)
                  << " Instance ID: " << guidToString(instanceId) << std::endl;
    }
}

bool gatherWriterStatus(IVssBackupComponents* components) {
    IVssAsync* async = nullptr;
    HRESULT hr = components->GatherWriterStatus(&async);
    if (failedCall(hr, "GatherWriterStatus")) return false;
    if (!waitForAsync(async, &hr)) {
        LOG(Error) << "waitForAsync failed " << std::endl;
        return false;
    }
    PrintAllWriterStatuses(components);
    return !failedCall(components->FreeWriterStatus(), "FreeWriterStatus");
}

int VssRequester::DoSnapshot(const RequesterArgs& args) {
    const uint32_t type = args.m_backupType == -1 ? 5u : static_cast<uint32_t>(args.m_backupType);
    LOG(Info) << " vssBackupType=" << type << " " << " snapshotVolumesUserVecSize=" << args.m_volumes.size() << " "
              << std::endl;

    LOG(Info) << "CoInitialize..." << std::endl;
    const ComApartment com(CoInitialize(NULL));
    if (com.result() != S_OK) {
        output_error("CoInitialize failed with error code ", com.result());
        return com.result();
    }

    // Declared after the apartment: aborted and released before COM is uninitialised.
    BackupComponents components;
    HRESULT hr = snapshotStep("CreateVssBackupComponents",
                              [&] { return CreateVssBackupComponentsInternal(components.out()); });
    if (FAILED(hr)) return hr;
    hr = snapshotStep("InitializeForBackup", [&] { return components->InitializeForBackup(NULL); });
    if (FAILED(hr)) return hr;

    // From here on an unfinished backup must not stay open in the service, whatever way this call ends.
    components.abortUnlessDone();
    hr = snapshotStep("SetBackupState", [&] {
        return components->SetBackupState(false, true, static_cast<VSS_BACKUP_TYPE>(type), false);
    });
    if (FAILED(hr)) return hr;

    IVssAsync* async = nullptr;
    HRESULT out = S_OK;
    hr = snapshotStep("GatherWriterMetadata", [&] { return components->GatherWriterMetadata(&async); });
    if (FAILED(hr)) return hr;
    if (!waited(async, &out)) return 1;

    VSS_ID setId{};
    hr = snapshotStep("StartSnapshotSet", [&] { return components->StartSnapshotSet(&setId); });
    if (FAILED(hr)) return hr;

    LOG(Info) << "getVolumeList..." << std::endl;
    const std::vector<std::wstring> volumes = getVolumeList();
    std::vector<OleText> filter;
    for (const auto& entry : args.m_volumes) filter.push_back(toOleText(entry));
    LOG(Info) << "Add volumes to the shadow set..." << std::endl;
    for (const auto& volume : volumes) {
        OleText path = toOleText(volume);
        if (!selected(path, filter)) {
            LOG(Info) << "Skipping SnapShotSet for volume: " << toUtf8(path) << std::endl;
            continue;
        }
        VSS_ID snapshotId{};
        hr = components->AddToSnapshotSet(path.data(), ProviderId, &snapshotId);
        LOG(Info) << "AddToSnapshotSet for volume " << toUtf8(path) << " returned " << hex(hr) << std::endl;
    }

    async = nullptr;
    hr = snapshotStep("PrepareForBackup", [&] { return components->PrepareForBackup(&async); });
    if (FAILED(hr)) return hr;
    if (!waited(async, &out) || !writersReported(components.get())) return 1;

    async = nullptr;
    hr = snapshotStep("DoSnapshotSet", [&] { return out = components->DoSnapshotSet(&async); });
    if (FAILED(hr)) return hr;
    if (!waitForAsync(async, &out)) {
        LOG(Error) << "waitForAsync failed" << " hr=" << static_cast<uint32_t>(out) << " " << std::endl;
        if (out == kProviderVeto) {
            LOG(Error) << "assumming timeout occured in VSS provider waiting for thaw" << std::endl;
            return kProviderVeto;
        }
        return out == S_OK ? 1 : out;
    }
    if (!writersReported(components.get())) return 1;

    async = nullptr;
    hr = snapshotStep("BackupComplete", [&] { return components->BackupComplete(&async); });
    if (FAILED(hr)) return hr;
    if (!waited(async, &out) || !writersReported(components.get())) return 1;
    components.done();
    return 0;
}
