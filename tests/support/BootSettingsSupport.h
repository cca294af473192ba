#pragma once
// Fixture pieces for the tests of the boot-status and reliability guards: the two registry values, the fake
// bcdedit and the guards' log lines.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

extern const char* const kRunOnceKeyPath;
extern const wchar_t* const kReliabilityKeyPath;
// The RunOnce data and the enabling command, without the terminating zero (58 characters).
extern const char* const kEnablingCommand;
extern const char* const kDisablingCommand;

struct StoredValue {
    DWORD type;
    std::vector<BYTE> data;
    bool operator==(const StoredValue&) const = default;
};

// The keys exist and hold neither value.
void resetBootSettings();
bool createRunOnceKey();
bool createReliabilityKey();
// False when the key could not be deleted.
bool deleteRunOnceKey();
bool deleteReliabilityKey();
void setStamp(const StoredValue& value);
std::optional<StoredValue> storedStamp();
std::optional<StoredValue> storedRunOnce();

// The fake bcdedit, first on PATH, with a fresh journal folder.
class FakeBcdedit {
public:
    FakeBcdedit();
    ~FakeBcdedit();
    // Runs whose arguments contain `failOn` (every run when empty) exit with `code`.
    void exitWith(int code, const std::string& failOn = "");
    // Each run: "<arguments>;RunOnce=<0|1>;LastAliveStamp=<0|1>".
    std::vector<std::string> journal() const;
    // Boot entry -> policy, from the successful runs.
    std::map<std::string, std::string> policies() const;

private:
    std::string m_folder;
    std::string m_savedPath;
};

// The guards' lines in the shared log client: "<level>,...,NON,<Class>,<method>,<message>".
bool logged(const std::string& level, const std::string& function, const std::string& message);
// Positions of lines holding `text`, in order, for checking the order of steps.
std::vector<size_t> logPositions(const std::string& text);
