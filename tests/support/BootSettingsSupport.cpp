#include "BootSettingsSupport.h"

#include "MachineSupport.h"
#include "TestSupport.h"

#include <filesystem>
#include <fstream>

const char* const kRunOnceKeyPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const wchar_t* const kReliabilityKeyPath = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Reliability";
const char* const kEnablingCommand = "bcdedit /set {default} bootstatuspolicy displayallfailures";
const char* const kDisablingCommand = "bcdedit /set {current} bootstatuspolicy ignoreallfailures";

bool createRunOnceKey() {
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKeyPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != 0)
        return false;
    RegCloseKey(key);
    return true;
}

bool createReliabilityKey() {
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kReliabilityKeyPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != 0)
        return false;
    RegCloseKey(key);
    return true;
}

bool deleteRunOnceKey() { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRunOnceKeyPath) == ERROR_SUCCESS; }

bool deleteReliabilityKey() { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, kReliabilityKeyPath) == ERROR_SUCCESS; }

void resetBootSettings() {
    ASSERT_TRUE(createRunOnceKey());
    ASSERT_TRUE(createReliabilityKey());
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKeyPath, 0, KEY_ALL_ACCESS, &key), 0);
    RegDeleteValueA(key, "Vantrell");
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kReliabilityKeyPath, 0, KEY_ALL_ACCESS, &key), 0);
    RegDeleteValueW(key, L"LastAliveStamp");
    RegCloseKey(key);
}

void setStamp(const StoredValue& value) {
    HKEY key = NULL;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kReliabilityKeyPath, 0, KEY_ALL_ACCESS, &key), 0);
    EXPECT_EQ(RegSetValueExW(key, L"LastAliveStamp", 0, value.type, value.data.data(),
                             static_cast<DWORD>(value.data.size())),
              0);
    RegCloseKey(key);
}

std::optional<StoredValue> storedStamp() {
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kReliabilityKeyPath, 0, KEY_READ, &key) != 0) return std::nullopt;
    StoredValue value{0, std::vector<BYTE>(256)};
    DWORD size = 256;
    const LSTATUS rc = RegQueryValueExW(key, L"LastAliveStamp", NULL, &value.type, value.data.data(), &size);
    RegCloseKey(key);
    if (rc != 0) return std::nullopt;
    value.data.resize(size);
    return value;
}

std::optional<StoredValue> storedRunOnce() {
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunOnceKeyPath, 0, KEY_READ, &key) != 0) return std::nullopt;
    StoredValue value{0, std::vector<BYTE>(256)};
    DWORD size = 256;
    const LSTATUS rc = RegQueryValueExA(key, "Vantrell", NULL, &value.type, value.data.data(), &size);
    RegCloseKey(key);
    if (rc != 0) return std::nullopt;
    value.data.resize(size);
    return value;
}

FakeBcdedit::FakeBcdedit() {
    m_folder = std::filesystem::absolute(uniqueName("bcdedit")).string();
    std::filesystem::create_directories(m_folder);
    m_savedPath = environment("PATH");
    prependToPath(testToolsFolder());
    setEnvironment("TALVO_FAKE_BCDEDIT_DIR", m_folder);
    exitWith(0);
}

FakeBcdedit::~FakeBcdedit() {
    setEnvironment("PATH", m_savedPath);
    setEnvironment("TALVO_FAKE_BCDEDIT_DIR", "");
    setEnvironment("TALVO_FAKE_BCDEDIT_EXIT", "");
    setEnvironment("TALVO_FAKE_BCDEDIT_FAIL_ON", "");
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

void FakeBcdedit::exitWith(int code, const std::string& failOn) {
    setEnvironment("TALVO_FAKE_BCDEDIT_EXIT", std::to_string(code));
    setEnvironment("TALVO_FAKE_BCDEDIT_FAIL_ON", failOn);
}

std::vector<std::string> FakeBcdedit::journal() const {
    std::vector<std::string> lines;
    std::ifstream in(m_folder + "/journal.txt");
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::map<std::string, std::string> FakeBcdedit::policies() const {
    std::map<std::string, std::string> found;
    std::ifstream in(m_folder + "/policy.txt");
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (eq != std::string::npos) found[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return found;
}

bool logged(const std::string& level, const std::string& function, const std::string& message) {
    std::string columns = function;
    const size_t colons = columns.rfind("::");
    if (colons != std::string::npos) columns.replace(colons, 2, ",");
    const std::string tail = ",NON," + columns + "," + message;
    for (const std::string& line : sharedClient().lines()) {
        const size_t at = line.find(tail);
        if (at == std::string::npos || line.find("," + level + ",") == std::string::npos) continue;
        const size_t end = at + tail.size();
        if (end == line.size() || line[end] == '\n' || line[end] == '\r') return true;
    }
    return false;
}

std::vector<size_t> logPositions(const std::string& text) {
    std::vector<size_t> positions;
    const auto lines = sharedClient().lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) positions.push_back(i);
    }
    return positions;
}
