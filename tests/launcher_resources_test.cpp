// test-traits: windows-only
// The Windows build's launcher and agent files: dialog 101 with its controls, the two strings, the icon group,
// the manifests that ask for elevation and the launcher's Windows subsystem; and the real dialog driven from a
// second thread. These exist only in the Windows build.
#include "ChildProcess.h"
#include "CheckpointLauncher.h"
#include "TestSupport.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Loads a built program's resources without running it.
struct Resources {
    explicit Resources(const std::string& path)
        : module(LoadLibraryExA(path.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~Resources() {
        if (module) FreeLibrary(module);
    }
    std::string bytes(LPCWSTR type, WORD id, WORD language = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)) const {
        HRSRC found = language == MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)
                          ? FindResourceW(module, MAKEINTRESOURCEW(id), type)
                          : FindResourceExW(module, type, MAKEINTRESOURCEW(id), language);
        if (!found) return std::string();
        HGLOBAL loaded = LoadResource(module, found);
        const char* data = static_cast<const char*>(LockResource(loaded));
        return std::string(data, SizeofResource(module, found));
    }
    HMODULE module;
};

// Reads a DLGTEMPLATEEX.
class DialogReader {
public:
    explicit DialogReader(const std::string& bytes) : m_bytes(bytes) {}
    WORD word() { return take<WORD>(); }
    DWORD dword() { return take<DWORD>(); }
    short shorts() { return take<short>(); }
    // A string or an ordinal (0xFFFF and a WORD), as "#<n>" for an ordinal.
    std::wstring sz() {
        if (peekWord() == 0xFFFF) {
            word();
            return L"#" + std::to_wstring(word());
        }
        std::wstring out;
        for (WORD c; (c = word()) != 0;) out += static_cast<wchar_t>(c);
        return out;
    }
    BYTE byte() { return take<BYTE>(); }
    void alignDword() { m_at = (m_at + 3) & ~size_t(3); }
    void skip(size_t n) { m_at += n; }
    bool ok() const { return m_at <= m_bytes.size(); }

private:
    template <class T>
    T take() {
        T value{};
        if (m_at + sizeof(T) <= m_bytes.size()) std::memcpy(&value, m_bytes.data() + m_at, sizeof(T));
        m_at += sizeof(T);
        return value;
    }
    WORD peekWord() {
        WORD value = take<WORD>();
        m_at -= sizeof(WORD);
        return value;
    }
    const std::string& m_bytes;
    size_t m_at = 0;
};

std::string manifestOf(const std::string& program) { return Resources(program).bytes(MAKEINTRESOURCEW(24), 1); }

}  // namespace

TEST(LauncherResources, DialogIsAsDesigned) {
    Resources launcher(corbelinePath());
    ASSERT_NE(launcher.module, nullptr) << corbelinePath();
    const std::string bytes = launcher.bytes(MAKEINTRESOURCEW(5), 101, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_FALSE(bytes.empty()) << "no dialog 101 in language 1033";
    DialogReader dialog(bytes);
    EXPECT_EQ(dialog.word(), 1);       // version
    EXPECT_EQ(dialog.word(), 0xFFFF);  // extended template
    dialog.dword();                    // help id
    dialog.dword();                    // extended style
    const DWORD style = dialog.dword();
    const DWORD wanted = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS;
    EXPECT_EQ(style & wanted, wanted);
    EXPECT_EQ(dialog.word(), 4);  // controls
    dialog.shorts();
    dialog.shorts();
    EXPECT_EQ(dialog.shorts(), 316);
    EXPECT_EQ(dialog.shorts(), 62);
    EXPECT_EQ(dialog.sz(), L"");  // no menu
    EXPECT_EQ(dialog.sz(), L"");  // the standard dialog class
    EXPECT_EQ(dialog.sz(), L"Add VSS Checkpoint");
    EXPECT_EQ(dialog.word(), 8);    // points
    EXPECT_EQ(dialog.word(), 400);  // weight
    EXPECT_EQ(dialog.byte(), 0);    // not italic
    EXPECT_EQ(dialog.byte(), 1);    // character set
    EXPECT_EQ(dialog.sz(), L"MS Shell Dlg");

    const struct {
        int id;
        const wchar_t* atom;  // a predefined class, by its atom or its name
        const wchar_t* cls;
        const wchar_t* text;
        short x, y, cx, cy;
        DWORD styles;
        DWORD absent;
    } controls[] = {
        {1002, L"#129", L"EDIT", L"", 7, 21, 302, 14, WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL,
         WS_DISABLED | ES_MULTILINE | ES_CENTER | ES_RIGHT},
        {IDOK, L"#128", L"BUTTON", L"OK", 205, 41, 50, 14, WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
        {IDCANCEL, L"#128", L"BUTTON", L"Cancel", 259, 41, 50, 14, WS_CHILD | WS_VISIBLE | WS_TABSTOP, WS_DISABLED | 0x0F},
        {-1, L"#130", L"STATIC", L"Enter a name for a checkpoint", 7, 7, 98, 8, WS_CHILD | WS_VISIBLE | WS_GROUP, 0x1F},
    };
    for (const auto& c : controls) {
        dialog.alignDword();
        dialog.dword();  // help id
        dialog.dword();  // extended style
        const DWORD controlStyle = dialog.dword();
        const short x = dialog.shorts(), y = dialog.shorts(), cx = dialog.shorts(), cy = dialog.shorts();
        const int id = static_cast<int>(dialog.dword());
        const std::wstring cls = dialog.sz();
        const std::wstring text = dialog.sz();
        dialog.skip(dialog.word());  // creation data
        ASSERT_TRUE(dialog.ok());
        EXPECT_EQ(id, c.id);
        EXPECT_TRUE(cls == c.atom || _wcsicmp(cls.c_str(), c.cls) == 0) << c.id;
        EXPECT_EQ(text, c.text) << c.id;
        EXPECT_EQ(x, c.x) << c.id;
        EXPECT_EQ(y, c.y) << c.id;
        EXPECT_EQ(cx, c.cx) << c.id;
        EXPECT_EQ(cy, c.cy) << c.id;
        EXPECT_EQ(controlStyle & c.styles, c.styles) << c.id;
        EXPECT_EQ(controlStyle & c.absent, 0u) << c.id;
    }
}

TEST(LauncherResources, StringsIconAndSubsystem) {
    Resources launcher(corbelinePath());
    ASSERT_NE(launcher.module, nullptr);
    const struct {
        UINT id;
        const wchar_t* text;
    } strings[] = {{102, L"Add VSS Checkpoint"}, {103, L"Enter a name for a checkpoint"}};
    for (const auto& s : strings) {
        wchar_t text[128] = {};
        EXPECT_GT(LoadStringW(launcher.module, s.id, text, 128), 0) << s.id;
        EXPECT_STREQ(text, s.text);
    }
    const std::string group = launcher.bytes(MAKEINTRESOURCEW(14), 104);
    ASSERT_GE(group.size(), 6u);
    WORD count = 0;
    std::memcpy(&count, group.data() + 4, 2);
    EXPECT_EQ(count, 5);

    // The optional header's subsystem field of the PE file.
    std::ifstream in(corbelinePath(), std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(file.size(), 0x40u);
    DWORD peOffset = 0;
    std::memcpy(&peOffset, file.data() + 0x3C, 4);
    WORD subsystem = 0;
    std::memcpy(&subsystem, file.data() + peOffset + 4 + 20 + 68, 2);
    EXPECT_EQ(subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST(LauncherResources, BothProgramsAskForElevation) {
    for (const std::string& program : {corbelinePath(), vantrellPath()}) {
        const std::string manifest = manifestOf(program);
        EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << program;
    }
}

// The dialog's window, and a timer that ends a dialog nobody drives, so the test never hangs.
std::atomic<HWND> g_shown{nullptr};
constexpr UINT_PTR kGiveUpTimer = 7;
constexpr INT_PTR kGaveUp = 77;
INT_PTR CALLBACK watchedCheckpoint(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetTimer(window, kGiveUpTimer, 30000, nullptr);
        g_shown = window;
    }
    if (message == WM_TIMER && wParam == kGiveUpTimer) {
        EndDialog(window, kGaveUp);
        return TRUE;
    }
    return Checkpoint(window, message, wParam, lParam);
}

// The real dialog, shown by the dialog manager from the launcher's resources, driven from a second thread: typing
// enables OK, deleting disables it, and a click starts the agent (the argument dump beside this program).
TEST(LauncherResources, RealDialogRunsTheLauncher) {
    Resources launcher(corbelinePath());
    ASSERT_NE(launcher.module, nullptr);
    char own[MAX_PATH] = {};
    GetModuleFileNameA(NULL, own, MAX_PATH);
    const std::string config = std::string(own) + ".conf";
    std::ofstream(config) << "h 8080 0.0.0.0 8081\n";
    const std::string dump = fs::absolute(uniqueName("argv")).string();
    SetEnvironmentVariableA("TALVO_ARGV_DUMP", dump.c_str());

    std::atomic<bool> done{false};
    bool found = false, enabledAtStart = true, enabledWithText = false, enabledWhenDeleted = true;
    std::thread user([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!g_shown && !done && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        HWND dialog = g_shown;
        if (!dialog) return;
        found = true;
        HWND ok = GetDlgItem(dialog, IDOK);
        enabledAtStart = IsWindowEnabled(ok) != FALSE;
        SetDlgItemTextW(dialog, 1002, L"cp \"1\"\\");
        enabledWithText = IsWindowEnabled(ok) != FALSE;
        SetDlgItemTextW(dialog, 1002, L"");
        enabledWhenDeleted = IsWindowEnabled(ok) != FALSE;
        SetDlgItemTextW(dialog, 1002, L"cp \"1\"\\");
        SendMessageW(ok, BM_CLICK, 0, 0);
    });
    const INT_PTR result = DialogBoxParamW(launcher.module, MAKEINTRESOURCEW(101), NULL, watchedCheckpoint, 0);
    const DWORD error = GetLastError();
    done = true;
    user.join();
    fs::remove(config);
    if (result == -1) GTEST_SKIP() << "the dialog could not be created here (error " << error << ")";
    ASSERT_TRUE(found);
    ASSERT_NE(result, kGaveUp) << "the dialog did not take the click";
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(enabledAtStart);
    EXPECT_TRUE(enabledWithText);
    EXPECT_FALSE(enabledWhenDeleted);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string text;
    while ((text = readFile(dump)).empty() || text.back() != '\n') {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the agent was not started";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(text, std::string("-GUI\0h\0" "8080\0" "0.0.0.0\0" "8081\0cp \"1\"\\\0\n", 34));
}
