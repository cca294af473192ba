// test-traits: linux-only
// The stand-in's shell calls, message box and folder-creation fault (their controls are the stand-in's own).
#include "TestSupport.h"

#include <platform/paths.h>
#include <platform/testing.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// Sets an environment variable for the test's length; an empty value removes it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        const char* old = std::getenv(name);
        m_had = old != nullptr;
        if (old) m_old = old;
        set(value);
    }
    ~ScopedEnv() { m_had ? set(m_old) : set(""); }

private:
    void set(const std::string& value) {
        if (value.empty()) {
            unsetenv(m_name);
        } else {
            setenv(m_name, value.c_str(), 1);
        }
    }
    const char* m_name;
    bool m_had = false;
    std::string m_old;
};

class PlatformShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::absolute(uniqueName("shell_root")).string();
        fs::create_directories(m_root);
        m_rootEnv = std::make_unique<ScopedEnv>("TALVO_STANDIN_ROOT", m_root);
    }
    void TearDown() override {
        m_rootEnv.reset();
        fs::remove_all(m_root);
    }
    std::string m_root;
    std::unique_ptr<ScopedEnv> m_rootEnv;
};

}  // namespace

TEST_F(PlatformShellTest, CommonAppDataIsTheFolderTheEnvironmentNames) {
    struct Case {
        std::string value;
        int csidl;
        HRESULT result;
        std::string native;  // the folder made, below the root; "" none
    };
    const Case cases[] = {
        {"C:\\ProgramData", CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, S_OK, "/drive_c/ProgramData"},
        {"d:\\Data\\Common", CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, S_OK, "/drive_d/Data/Common"},
        {"C:\\Uncreated", CSIDL_COMMON_APPDATA, S_OK, ""},
        {"", CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, E_FAIL, ""},
        {std::string(MAX_PATH, 'x'), CSIDL_COMMON_APPDATA, E_FAIL, ""},
        {"C:\\ProgramData", 0x001a /* the user's application data */, E_INVALIDARG, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.substr(0, 20));
        ScopedEnv appData(platform_test::kCommonAppDataEnv, c.value);
        char path[MAX_PATH] = "unchanged";
        EXPECT_EQ(SHGetFolderPathA(NULL, c.csidl, NULL, 0, path), c.result);
        EXPECT_EQ(std::string(path), c.result == S_OK ? c.value : "unchanged");
        if (!c.native.empty()) {
            EXPECT_TRUE(fs::is_directory(m_root + c.native));
        }
    }
    EXPECT_FALSE(fs::exists(m_root + "/drive_c/Uncreated"));
}

TEST_F(PlatformShellTest, AFileInTheFoldersPlaceFailsTheLookupThatCreates) {
    fs::create_directories(m_root + "/drive_c");
    std::ofstream(m_root + "/drive_c/Taken") << "not a folder";
    for (const std::string value : {"C:\\Taken", "C:\\Taken\\Below"}) {
        SCOPED_TRACE(value);
        ScopedEnv appData(platform_test::kCommonAppDataEnv, value);
        char path[MAX_PATH] = "unchanged";
        EXPECT_EQ(SHGetFolderPathA(NULL, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, NULL, 0, path), E_FAIL);
        EXPECT_STREQ(path, "unchanged");
    }
    EXPECT_TRUE(fs::is_regular_file(m_root + "/drive_c/Taken"));
}

TEST_F(PlatformShellTest, DrivePathsLiveBelowTheRoot) {
    const std::pair<const char*, std::string> cases[] = {
        {"C:\\ProgramData\\Talvo", m_root + "/drive_c/ProgramData/Talvo"},
        {"Z:/x", m_root + "/drive_z/x"},
        {"C:", m_root + "/drive_c"},
        {"relative\\file.txt", "relative/file.txt"},
        {"/tmp/abs", "/tmp/abs"},
        {"CC:\\x", "CC:/x"},
        {"C:x", "C:x"},  // relative to a drive's folder: not a drive path
    };
    for (const auto& [windows, native] : cases) EXPECT_EQ(platform::nativePath(windows), native) << windows;
}

TEST_F(PlatformShellTest, PathAppendJoinsWithOneBackslash) {
    struct Case {
        std::string path, more, result;
        BOOL ok;
    };
    const Case cases[] = {
        {"C:\\ProgramData", "Talvo", "C:\\ProgramData\\Talvo", TRUE},
        {"C:\\ProgramData\\", "Talvo", "C:\\ProgramData\\Talvo", TRUE},
        {"C:\\a", "\\b", "C:\\a\\b", TRUE},
        {"C:\\a", "b\\c.log", "C:\\a\\b\\c.log", TRUE},
        {std::string(250, 'a'), "123456789", std::string(250, 'a') + "\\123456789", FALSE},  // 260 with the terminator
        {std::string(250, 'a'), "12345678", std::string(250, 'a') + "\\12345678", TRUE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.more);
        char path[MAX_PATH];
        std::snprintf(path, sizeof(path), "%s", c.path.c_str());
        EXPECT_EQ(PathAppendA(path, c.more.c_str()), c.ok);
        EXPECT_EQ(std::string(path), c.ok ? c.result : c.path);
    }
}

TEST_F(PlatformShellTest, MessageBoxesAreRecordedAndAnsweredOk) {
    const std::string log = m_root + "/boxes.txt";
    {
        ScopedEnv unset(platform_test::kMessageBoxLogEnv, "");
        EXPECT_EQ(MessageBoxA(NULL, "not recorded", "c", MB_OK), IDOK);
    }
    ScopedEnv recorded(platform_test::kMessageBoxLogEnv, log);
    EXPECT_EQ(MessageBoxA(NULL, "The VSS checkpoint request has been initiated.", "Add VSS Checkpoint Status", MB_OK),
              IDOK);
    EXPECT_EQ(MessageBoxA(reinterpret_cast<HWND>(0x10), "two\nlines\twith \\ tab", "t", MB_OKCANCEL), IDOK);
    const auto boxes = platform_test::readRecordedMessageBoxes(log);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_FALSE(boxes[0].hasOwner);
    EXPECT_EQ(boxes[0].type, MB_OK);
    EXPECT_EQ(boxes[0].caption, "Add VSS Checkpoint Status");
    EXPECT_EQ(boxes[0].text, "The VSS checkpoint request has been initiated.");
    EXPECT_TRUE(boxes[1].hasOwner);
    EXPECT_EQ(boxes[1].type, MB_OKCANCEL);
    EXPECT_EQ(boxes[1].text, "two\nlines\twith \\ tab");
}

TEST_F(PlatformShellTest, AnInjectedFaultFailsOnlyTheNextCreateDirectory) {
    const std::string first = m_root + "\\first", second = m_root + "\\second";
    platform_test::failNextCreateDirectory(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(CreateDirectoryA(first.c_str(), NULL));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(m_root + "/first"));
    EXPECT_TRUE(CreateDirectoryA(second.c_str(), NULL));
    EXPECT_TRUE(fs::is_directory(m_root + "/second"));
    EXPECT_FALSE(CreateDirectoryA(second.c_str(), NULL));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
}
