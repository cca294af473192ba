// test-traits: linux-only
// Linux only: the stand-in's own side of the registry (files on disk, fault injection, the call journal), the
// version query and the command interpreter, which use its test controls.
#include "MachineSupport.h"
#include "NativePath.h"
#include "TestSupport.h"

#include <platform/paths.h>
#include <platform/testing.h>

#include <windows.h>

#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class PlatformSettingsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useOwnMachineState("platform-settings-machine"); }

    void SetUp() override {
        m_path = "Software\\" + uniqueName("key");
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &m_key, NULL),
                  0);
    }

    void TearDown() override {
        RegCloseKey(m_key);
        platform_test::clearRegistryFaults();
        platform_test::stopCallJournal();
        platform_test::setDefaultCommandInterpreter(nullptr);
        platform_test::setWindowsVersion(6, 2, 9200);
        setEnvironment("COMSPEC", "");
    }

    fs::path keyFolder() const {
        return fs::path(platform::standinRoot()) / "registry" / "HKEY_CURRENT_USER" / "Software" /
               m_path.substr(m_path.find('\\') + 1);
    }

    std::string m_path;
    HKEY m_key = NULL;
};

TEST_F(PlatformSettingsTest, ValuesAreFilesUnderTheRootWithNothingLeftOver) {
    const BYTE data[] = {1, 2, 3};
    const char* names[] = {"plain", "with/slash", "100%", "@at", "#hash", ".dot", ""};
    for (const char* name : names) ASSERT_EQ(RegSetValueExA(m_key, name, 0, REG_BINARY, data, 3), 0) << name;
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(keyFolder())) {
        ++files;
        EXPECT_EQ(entry.path().filename().string()[0], '@');  // no temporary file left behind
        EXPECT_EQ(fs::file_size(entry.path()), 4u + 3u);       // type, then the bytes
    }
    EXPECT_EQ(files, std::size(names));
    for (const char* name : names) {
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExA(m_key, name, NULL, NULL, NULL, &size), 0) << name;
        EXPECT_EQ(size, 3u);
    }
    // A key and a value may share a name.
    HKEY sub = NULL;
    EXPECT_EQ(RegCreateKeyExA(m_key, "plain", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &sub, NULL), 0);
    EXPECT_EQ(RegQueryValueExA(m_key, "plain", NULL, NULL, NULL, NULL), 0);
    RegCloseKey(sub);
}

TEST_F(PlatformSettingsTest, KeyNamesKeepTheirCharactersInTheJournal) {
    HKEY sub = NULL;
    ASSERT_EQ(RegCreateKeyExA(m_key, ".odd/%2F@#name", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &sub, NULL), 0);
    platform_test::startCallJournal();
    RegFlushKey(sub);
    const auto journal = platform_test::callJournal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].key, "HKEY_CURRENT_USER\\" + m_path + "\\.odd/%2F@#name");
    RegCloseKey(sub);
    HKEY again = NULL;
    EXPECT_EQ(RegOpenKeyExA(m_key, ".ODD/%2f@#NAME", 0, KEY_READ, &again), 0);
    RegCloseKey(again);
}

TEST_F(PlatformSettingsTest, TooSmallBufferCopiesNothing) {
    const BYTE data[17] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_EQ(RegSetValueExW(m_key, L"Long", 0, REG_SZ, data, 17), 0);
    BYTE buffer[16] = {};
    DWORD type = 0, size = 16;
    EXPECT_EQ(RegQueryValueExW(m_key, L"Long", NULL, &type, buffer, &size), 234);
    EXPECT_EQ(size, 17u);
    EXPECT_EQ(type, REG_SZ);
    for (BYTE b : buffer) EXPECT_EQ(b, 0);
}

TEST_F(PlatformSettingsTest, KeyDeletedWhileOpen) {
    HKEY sub = NULL;
    ASSERT_EQ(RegCreateKeyExA(m_key, "Doomed", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &sub, NULL), 0);
    ASSERT_EQ(RegDeleteKeyA(m_key, "Doomed"), 0);
    const BYTE data[] = {1};
    EXPECT_EQ(RegSetValueExA(sub, "Value", 0, REG_BINARY, data, 1), static_cast<LONG>(ERROR_KEY_DELETED));
    EXPECT_EQ(RegCloseKey(sub), 0);
}

TEST_F(PlatformSettingsTest, InjectedFaultHitsTheNthCallOnlyAndChangesNothing) {
    const BYTE data[] = {1};
    platform_test::startCallJournal();
    platform_test::failRegistryCall("RegSetValueExA", 2, 5);
    EXPECT_EQ(RegSetValueExA(m_key, "first", 0, REG_BINARY, data, 1), 0);
    EXPECT_EQ(RegSetValueExW(m_key, L"wide", 0, REG_BINARY, data, 1), 0);  // another function
    EXPECT_EQ(RegSetValueExA(m_key, "second", 0, REG_BINARY, data, 1), 5);
    EXPECT_EQ(RegSetValueExA(m_key, "third", 0, REG_BINARY, data, 1), 0);
    EXPECT_EQ(RegQueryValueExA(m_key, "second", NULL, NULL, NULL, NULL), 2);
    EXPECT_EQ(RegFlushKey(m_key), 0);
    const auto journal = platform_test::callJournal();
    std::vector<std::string> seen;
    for (const auto& call : journal) seen.push_back(call.function + " " + call.value);
    EXPECT_EQ(seen, (std::vector<std::string>{"RegSetValueExA first", "RegSetValueExW wide", "RegSetValueExA second",
                                              "RegSetValueExA third", "RegQueryValueExA second", "RegFlushKey "}));
    EXPECT_EQ(journal.back().key, "HKEY_CURRENT_USER\\" + m_path);
}

TEST_F(PlatformSettingsTest, VersionQueryChecksTheStructureSize) {
    OSVERSIONINFOW info = {};
    SetLastError(0);
    EXPECT_FALSE(GetVersionExW(&info));  // size left zero
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwMinorVersion, 2u);
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    platform_test::setWindowsVersion(5, 1, 2600);
    OSVERSIONINFOEXW ex = {};
    ex.dwOSVersionInfoSize = sizeof(ex);
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&ex)));
    EXPECT_EQ(ex.dwMajorVersion, 5u);
    EXPECT_EQ(ex.dwBuildNumber, 2600u);
}

TEST_F(PlatformSettingsTest, SystemReturnsTheCommandsExitCode) {
    struct Case {
        const char* name;
        const char* comspec;
        const char* fallback;
        const char* command;
        int result;
        int error;
    } cases[] = {
        {"success", "/bin/sh", nullptr, "exit 0", 0, 0},
        {"exit code, not a wait status", "/bin/sh", nullptr, "exit 3", 3, 0},
        {"command not found", "/bin/sh", nullptr, "talvo-no-such-command-here 2>/dev/null", 127, 0},
        {"no COMSPEC", "", nullptr, "exit 4", 4, 0},
        {"COMSPEC missing", "/nonexistent/cmd.exe", nullptr, "exit 5", 5, 0},
        {"no interpreter", "", "/nonexistent/sh", "exit 0", -1, ENOENT},
        {"neither interpreter", "/nonexistent/cmd.exe", "/nonexistent/sh", "exit 0", -1, ENOENT},
        {"killed by a signal", "/bin/sh", nullptr, "kill -9 $$", 128 + 9, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setEnvironment("COMSPEC", c.comspec);
        platform_test::setDefaultCommandInterpreter(c.fallback);
        errno = 0;
        EXPECT_EQ(runtimeSystem(c.command), c.result);
        if (c.result == -1) {
            EXPECT_EQ(errno, c.error);
        }
    }
}

TEST_F(PlatformSettingsTest, SystemReapsItsChildWhileChildrenAreIgnored) {
    for (const bool noWait : {false, true}) {
        SCOPED_TRACE(noWait ? "SA_NOCLDWAIT" : "SIG_IGN");
        struct sigaction set {}, previous {}, after {};
        set.sa_handler = noWait ? SIG_DFL : SIG_IGN;
        set.sa_flags = noWait ? SA_NOCLDWAIT : 0;
        sigaction(SIGCHLD, &set, &previous);
        EXPECT_EQ(runtimeSystem("exit 6"), 6);
        sigaction(SIGCHLD, &previous, &after);
        EXPECT_EQ(after.sa_handler, set.sa_handler);
        EXPECT_EQ(after.sa_flags & SA_NOCLDWAIT, set.sa_flags & SA_NOCLDWAIT);
    }
}

TEST_F(PlatformSettingsTest, SystemRunsAreJournaled) {
    platform_test::startCallJournal();
    runtimeSystem("exit 0");
    const auto journal = platform_test::callJournal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].function, "system");
    EXPECT_EQ(journal[0].value, "exit 0");
}

}  // namespace
