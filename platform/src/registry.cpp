// File-backed registry. A key is a folder under <root>/registry/<predefined key name>; a value is a file "@" + name
// holding its type (4 bytes, little-endian) and then its bytes. Nothing is cached: each call reads or writes the
// files, so another process sees what is stored. A write goes to a temporary file ("#...") renamed into place.
#include "internal.h"
#include "text_internal.h"
#include "settings_internal.h"

#include <platform/paths.h>
#include <platform/testing.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using platform::detail::toUtf8;

struct Key {
    std::string folder;  // on disk
    std::string name;    // "HKEY_LOCAL_MACHINE\SOFTWARE\...", as stored
    REGSAM access;
};

struct Fault {
    std::string function;
    unsigned remaining;
    LONG code;
};

std::mutex g_lock;
platform::detail::HandleMap<Key> g_keys{0x1000, 4};
bool g_journalOn = false;
std::vector<platform_test::PlatformCall> g_journal;
std::vector<Fault> g_faults;
std::atomic<unsigned> g_tempCounter{0};

const char* predefinedName(HKEY key) {
    switch (reinterpret_cast<uintptr_t>(key)) {
        case 0x80000000u: return "HKEY_CLASSES_ROOT";
        case 0x80000001u: return "HKEY_CURRENT_USER";
        case 0x80000002u: return "HKEY_LOCAL_MACHINE";
        case 0x80000003u: return "HKEY_USERS";
        default: return nullptr;
    }
}

// The key behind a handle; a predefined key's folder is made on first use.
std::optional<Key> lookup(HKEY handle) {
    if (const char* name = predefinedName(handle)) {
        Key key{platform::standinRoot() + "/registry/" + name, name, KEY_ALL_ACCESS};
        platform::detail::makeFolders(key.folder);
        return key;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    const Key* found = g_keys.find(reinterpret_cast<uintptr_t>(handle));
    if (!found) return std::nullopt;
    return *found;
}

HKEY publishKey(Key key) {
    std::lock_guard<std::mutex> lock(g_lock);
    return reinterpret_cast<HKEY>(g_keys.add(std::move(key)));
}

// A failure a test armed for a whole process it starts: "<function>:<nth>:<code>".
void readFaultFromEnvironment() {
    const char* value = std::getenv(platform_test::kFailRegistryCallEnv);
    if (!value || !*value) return;
    const std::string text = value;
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) return;
    char* end = nullptr;
    const unsigned long nth = std::strtoul(text.c_str() + first + 1, &end, 10);
    if (end != text.c_str() + second || nth == 0) return;
    const long code = std::strtol(text.c_str() + second + 1, &end, 10);
    if (*end != '\0' || code == 0) return;
    g_faults.push_back({text.substr(0, first), static_cast<unsigned>(nth), static_cast<LONG>(code)});
}

// Journals the call; returns the code of an injected failure due now, or 0.
LONG enter(const char* function, const std::string& key, const std::string& value) {
    platform::detail::journalCall(function, key, value);
    std::lock_guard<std::mutex> lock(g_lock);
    static const bool fromEnvironment = (readFaultFromEnvironment(), true);
    (void)fromEnvironment;
    LONG code = ERROR_SUCCESS;
    for (auto it = g_faults.begin(); it != g_faults.end();) {
        if (it->function == function && --it->remaining == 0) {
            if (code == ERROR_SUCCESS) code = it->code;
            it = g_faults.erase(it);
        } else {
            ++it;
        }
    }
    return code;
}

// A name as a file name: '/', '%', the markers '@' and '#', control bytes and a leading '.' become %XX.
std::string encode(const std::string& name) {
    return platform::detail::percentEscaped(name, [](unsigned char c, size_t i) {
        return c < 0x20 || c == '/' || c == '%' || c == '@' || c == '#' || (i == 0 && c == '.');
    });
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string decode(const std::string& file) {
    std::string out;
    for (size_t i = 0; i < file.size(); ++i) {
        const int high = file[i] == '%' && i + 2 < file.size() ? hexDigit(file[i + 1]) : -1;
        const int low = high >= 0 ? hexDigit(file[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += file[i];
        }
    }
    return out;
}

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

enum class Entry { Key, Value };

// The file name in `folder` that stands for `name`, compared without regard to case; empty when there is none.
std::string findEntry(const std::string& folder, const std::string& name, Entry kind) {
    const std::string wanted = (kind == Entry::Value ? "@" : "") + encode(name);
    DIR* dir = opendir(folder.c_str());
    if (!dir) return {};
    std::string found;
    while (dirent* entry = readdir(dir)) {
        const std::string file = entry->d_name;
        if (file == "." || file == ".." || file[0] == '#') continue;
        if ((file[0] == '@') != (kind == Entry::Value)) continue;
        if (sameName(file, wanted)) {
            found = file;
            break;
        }
    }
    closedir(dir);
    return found;
}

bool folderExists(const std::string& folder) {
    struct stat st;
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

LONG fromErrno(int error) {
    switch (error) {
        case ENOENT: case ENOTDIR: return ERROR_FILE_NOT_FOUND;
        case EACCES: case EPERM: case EROFS: return ERROR_ACCESS_DENIED;
        case ENOSPC: return ERROR_DISK_FULL;
        default: return static_cast<LONG>(platform::detail::win32FromErrno(error, false));
    }
}

std::vector<std::string> segments(const std::string& path) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The live key behind a handle, checked for the access the call needs.
LONG usableKey(HKEY handle, REGSAM need, Key& key) {
    auto found = lookup(handle);
    if (!found) return ERROR_INVALID_HANDLE;
    if (!folderExists(found->folder)) return ERROR_KEY_DELETED;
    if ((found->access & need) != need) return ERROR_ACCESS_DENIED;
    key = *found;
    return ERROR_SUCCESS;
}

std::string keyName(HKEY handle) {
    auto found = lookup(handle);
    return found ? found->name : std::string();
}

std::string joined(const std::string& parent, const std::string& sub) {
    return sub.empty() ? parent : parent + "\\" + sub;
}

LONG openKey(HKEY parent, const std::string& subKey, REGSAM access, PHKEY result, bool create, LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    Key key;
    if (LONG rc = usableKey(parent, 0, key)) return rc;
    bool created = false;
    for (const std::string& part : segments(subKey)) {
        std::string file = findEntry(key.folder, part, Entry::Key);
        if (file.empty()) {
            if (!create) return ERROR_FILE_NOT_FOUND;
            file = encode(part);
            if (mkdir((key.folder + "/" + file).c_str(), 0777) != 0 && errno != EEXIST) return fromErrno(errno);
            created = true;
        }
        key.folder += "/" + file;
        key.name += "\\" + decode(file);
    }
    key.access = access;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = publishKey(std::move(key));
    return ERROR_SUCCESS;
}

struct StoredValue {
    DWORD type = 0;
    std::vector<BYTE> data;
};

LONG readValue(const std::string& path, StoredValue& value) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return fromErrno(errno);
    std::vector<BYTE> bytes;
    BYTE chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || bytes.size() < 4) return ERROR_BADKEY;
    value.type = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<DWORD>(bytes[3]) << 24);
    value.data.assign(bytes.begin() + 4, bytes.end());
    return ERROR_SUCCESS;
}

LONG writeAll(int fd, const BYTE* data, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            return fromErrno(errno);
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    return ERROR_SUCCESS;
}

LONG queryValue(const char* function, HKEY handle, const std::string& name, LPDWORD reserved, LPDWORD type,
                LPBYTE data, LPDWORD size) {
    if (LONG injected = enter(function, keyName(handle), name)) return injected;
    Key key;
    if (LONG rc = usableKey(handle, KEY_QUERY_VALUE, key)) return rc;
    if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
    const std::string file = findEntry(key.folder, name, Entry::Value);
    if (file.empty()) return ERROR_FILE_NOT_FOUND;
    StoredValue value;
    if (LONG rc = readValue(key.folder + "/" + file, value)) return rc;
    const DWORD needed = static_cast<DWORD>(value.data.size());
    if (type) *type = value.type;
    if (!data) {
        if (size) *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed) std::memcpy(data, value.data.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

LONG setValue(const char* function, HKEY handle, const std::string& name, DWORD type, const BYTE* data, DWORD size) {
    if (LONG injected = enter(function, keyName(handle), name)) return injected;
    Key key;
    if (LONG rc = usableKey(handle, KEY_SET_VALUE, key)) return rc;
    if (!data && size) return ERROR_INVALID_PARAMETER;
    std::string file = findEntry(key.folder, name, Entry::Value);
    if (file.empty()) file = "@" + encode(name);
    const std::string temp = key.folder + "/#" + std::to_string(getpid()) + "." + std::to_string(++g_tempCounter);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fromErrno(errno);
    const BYTE header[4] = {static_cast<BYTE>(type), static_cast<BYTE>(type >> 8), static_cast<BYTE>(type >> 16),
                            static_cast<BYTE>(type >> 24)};
    LONG rc = writeAll(fd, header, sizeof header);
    if (rc == ERROR_SUCCESS && size) rc = writeAll(fd, data, size);
    if (::close(fd) != 0 && rc == ERROR_SUCCESS) rc = fromErrno(errno);
    if (rc == ERROR_SUCCESS && std::rename(temp.c_str(), (key.folder + "/" + file).c_str()) != 0) rc = fromErrno(errno);
    if (rc != ERROR_SUCCESS) unlink(temp.c_str());
    return rc;
}

LONG deleteValue(const char* function, HKEY handle, const std::string& name) {
    if (LONG injected = enter(function, keyName(handle), name)) return injected;
    Key key;
    if (LONG rc = usableKey(handle, KEY_SET_VALUE, key)) return rc;
    const std::string file = findEntry(key.folder, name, Entry::Value);
    if (file.empty()) return ERROR_FILE_NOT_FOUND;
    if (unlink((key.folder + "/" + file).c_str()) != 0) return fromErrno(errno);
    return ERROR_SUCCESS;
}

LONG deleteKey(const char* function, HKEY parent, const std::string& subKey) {
    if (LONG injected = enter(function, joined(keyName(parent), subKey), "")) return injected;
    Key key;
    if (LONG rc = usableKey(parent, 0, key)) return rc;
    const std::vector<std::string> parts = segments(subKey);
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    for (const std::string& part : parts) {
        const std::string file = findEntry(key.folder, part, Entry::Key);
        if (file.empty()) return ERROR_FILE_NOT_FOUND;
        key.folder += "/" + file;
    }
    DIR* dir = opendir(key.folder.c_str());
    if (!dir) return fromErrno(errno);
    std::vector<std::string> values;
    bool hasSubkeys = false;
    while (dirent* entry = readdir(dir)) {
        const std::string file = entry->d_name;
        if (file == "." || file == "..") continue;
        if (file[0] == '@' || file[0] == '#') {
            values.push_back(file);
        } else {
            hasSubkeys = true;
        }
    }
    closedir(dir);
    if (hasSubkeys) return ERROR_ACCESS_DENIED;
    for (const std::string& file : values) unlink((key.folder + "/" + file).c_str());
    if (rmdir(key.folder.c_str()) != 0) return fromErrno(errno);
    return ERROR_SUCCESS;
}

LONG syncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return fromErrno(errno);
    const int rc = fsync(fd);
    const int error = errno;
    ::close(fd);
    return rc == 0 ? ERROR_SUCCESS : fromErrno(error);
}

}  // namespace

void platform::detail::journalCall(const char* function, const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_journalOn) g_journal.push_back({function, key, value});
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
    const std::string sub = subKey ? subKey : "";
    if (LONG injected = enter("RegOpenKeyExA", joined(keyName(key), sub), "")) return injected;
    return openKey(key, sub, access, result, false, nullptr);
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result) {
    const std::string sub = toUtf8(subKey);
    if (LONG injected = enter("RegOpenKeyExW", joined(keyName(key), sub), "")) return injected;
    return openKey(key, sub, access, result, false, nullptr);
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                        PHKEY result, LPDWORD disposition) {
    const std::string sub = subKey ? subKey : "";
    if (LONG injected = enter("RegCreateKeyExA", joined(keyName(key), sub), "")) return injected;
    return openKey(key, sub, access, result, true, disposition);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                        PHKEY result, LPDWORD disposition) {
    const std::string sub = toUtf8(subKey);
    if (LONG injected = enter("RegCreateKeyExW", joined(keyName(key), sub), "")) return injected;
    return openKey(key, sub, access, result, true, disposition);
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    return queryValue("RegQueryValueExA", key, name ? name : "", reserved, type, data, size);
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    return queryValue("RegQueryValueExW", key, toUtf8(name), reserved, type, data, size);
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    return setValue("RegSetValueExA", key, name ? name : "", type, data, size);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    return setValue("RegSetValueExW", key, toUtf8(name), type, data, size);
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) { return deleteValue("RegDeleteValueA", key, name ? name : ""); }

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name) { return deleteValue("RegDeleteValueW", key, toUtf8(name)); }

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) { return deleteKey("RegDeleteKeyA", key, subKey ? subKey : ""); }

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) { return deleteKey("RegDeleteKeyW", key, toUtf8(subKey)); }

LSTATUS RegFlushKey(HKEY handle) {
    if (LONG injected = enter("RegFlushKey", keyName(handle), "")) return injected;
    Key key;
    if (LONG rc = usableKey(handle, 0, key)) return rc;
    DIR* dir = opendir(key.folder.c_str());
    if (!dir) return fromErrno(errno);
    LONG rc = ERROR_SUCCESS;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '@') continue;
        const LONG synced = syncPath(key.folder + "/" + entry->d_name, O_RDONLY);
        if (rc == ERROR_SUCCESS && synced != ERROR_FILE_NOT_FOUND) rc = synced;  // a value deleted meanwhile is fine
    }
    closedir(dir);
    const LONG folder = syncPath(key.folder, O_RDONLY | O_DIRECTORY);
    return rc != ERROR_SUCCESS ? rc : folder;
}

LSTATUS RegCloseKey(HKEY handle) {
    if (LONG injected = enter("RegCloseKey", keyName(handle), "")) return injected;
    if (predefinedName(handle)) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(g_lock);
    return g_keys.take(reinterpret_cast<uintptr_t>(handle)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

void platform_test::startCallJournal() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_journal.clear();
    g_journalOn = true;
}

std::vector<platform_test::PlatformCall> platform_test::callJournal() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_journal;
}

void platform_test::stopCallJournal() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_journalOn = false;
    g_journal.clear();
}

void platform_test::failRegistryCall(const std::string& function, unsigned nth, LONG code) {
    if (nth == 0) return;
    std::lock_guard<std::mutex> lock(g_lock);
    g_faults.push_back({function, nth, code});
}

void platform_test::clearRegistryFaults() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_faults.clear();
}
