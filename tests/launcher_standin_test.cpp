// test-traits: linux-only agent-process
// The launcher over the stand-in (scripted dialogs, the module file name override and the journal of process
// starts are test controls): the OK gate, OK and Cancel, the process creation's search, errors and isolation,
// and the Corbeline program driven through its terminal prompt.
#include "AgentSandbox.h"
#include "CheckpointLauncher.h"
#include "TestSupport.h"
#include "WideText.h"

#include <platform/testing.h>
#include <windows.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

namespace fs = std::filesystem;
using platform_test::DialogDriver;

namespace {

const char* const kServers = "h 8080 0.0.0.0 8081\n";

std::optional<std::string> waitForFile(const std::string& path, int ms = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!fs::exists(path)) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return readFile(path);
}

// The dump program's list: each argument followed by a zero byte, a line end after the last.
std::vector<std::string> splitZeros(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::vector<std::string> args;
    size_t start = 0;
    for (size_t zero; (zero = text.find('\0', start)) != std::string::npos; start = zero + 1) {
        args.push_back(text.substr(start, zero - start));
    }
    return args;
}

// Reaps a child of this process, killing it after `ms`; false when it was not (or no longer) our child.
bool reap(pid_t pid, int ms = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (done < 0) return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            return waitpid(pid, &status, 0) == pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<pid_t> startedPids() {
    std::vector<pid_t> pids;
    for (const auto& entry : platform_test::launcherJournal()) {
        if (entry.rfind("CreateProcessW ", 0) == 0) pids.push_back(static_cast<pid_t>(std::stoi(entry.substr(15))));
    }
    return pids;
}

void writeScript(const std::string& path, const std::string& body, mode_t mode = 0755) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), mode);
}

// A launcher installed in a folder of its own: its ".conf" and whatever "Vantrell" the test puts beside it.
class LauncherFolder : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::absolute(uniqueName("launcher")).string();
        fs::create_directories(m_root + "/install");
        fs::create_directories(m_root + "/machine");
        platform_test::setModuleFileName(install() + "/Corbeline");
        std::ofstream(install() + "/Corbeline.conf") << kServers;
        m_dump = m_root + "/argv";
        setenv("TALVO_ARGV_DUMP", m_dump.c_str(), 1);
        platform_test::clearLauncherJournal();
        sharedClient().clear();
    }
    void TearDown() override {
        for (pid_t pid : startedPids()) reap(pid);
        platform_test::setModuleFileName("");
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }
    std::string install() const { return m_root + "/install"; }
    void installDump(const std::string& name = "Vantrell") { fs::create_symlink(argvDumpPath(), install() + "/" + name); }

    // Lines logged by the launcher's functions, in order.
    static std::vector<std::string> launcherLines() {
        std::string text;
        for (const auto& line : sharedClient().lines()) text += line + "\n";
        std::vector<std::string> out;
        for (const auto& line : parseLogLines(text)) {
            if (line.method == "Checkpoint" || line.method == "runAgent") out.push_back(line.method + ": " + line.message);
        }
        return out;
    }

    std::string m_root, m_dump;
};

// Forwards to the launcher's procedure and keeps the dialog's window.
HWND g_dialog = nullptr;
INT_PTR CALLBACK keepWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) g_dialog = window;
    return Checkpoint(window, message, wParam, lParam);
}

INT_PTR runDialog(std::function<void(DialogDriver&)> script) {
    platform_test::scriptNextDialog(std::move(script));
    return DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, keepWindow, 0);
}

}  // namespace

using ScriptedDialog = LauncherFolder;

// OK follows the text: enabled exactly while the edit box holds something; Enter does nothing while it is not.
TEST_F(ScriptedDialog, OkIsEnabledExactlyWhileTheNameIsNotEmpty) {
    installDump();
    const struct {
        std::wstring text;
        bool okEnabled;
    } steps[] = {{L"c", true}, {L"cp 1", true}, {L"", false}, {L" ", true}, {L"", false}};
    std::vector<bool> seen;
    bool atStart = true;
    runDialog([&](DialogDriver& dialog) {
        atStart = dialog.okEnabled();
        for (const auto& step : steps) {
            dialog.setText(step.text);
            seen.push_back(dialog.okEnabled());
        }
        dialog.enter();
        dialog.clickOk();
        EXPECT_FALSE(dialog.ended()) << "OK was taken while disabled";
    });
    EXPECT_FALSE(atStart);
    ASSERT_EQ(seen.size(), std::size(steps));
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], steps[i].okEnabled) << i;
    EXPECT_TRUE(startedPids().empty());
    EXPECT_EQ(launcherLines(), std::vector<std::string>{"Checkpoint: IDCANCEL"});
}

// OK logs, starts the agent while the dialog is shown, then ends it; nothing reaches the dialog afterwards.
TEST_F(ScriptedDialog, OkStartsTheAgentBeforeTheDialogEnds) {
    installDump();
    const INT_PTR result = runDialog([](DialogDriver& dialog) {
        dialog.setText(L"cp 1");
        dialog.enter();
        EXPECT_TRUE(dialog.ended());
        dialog.clickOk();
        dialog.cancel();
    });
    EXPECT_EQ(result, 1);
    const auto journal = platform_test::launcherJournal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].rfind("CreateProcessW ", 0), 0u);
    EXPECT_EQ(journal[1], "EndDialog 1");
    const std::vector<std::string> expected{
        "Checkpoint: IDOK",
        "runAgent: GetModuleFileNameA retrieved the following file name: " + install() + "/Corbeline",
        "runAgent: Configuration file name: " + install() + "/Corbeline.conf",
        "runAgent: localURL: h",
        "runAgent: localPort: 8080",
        "runAgent: peerURL: 0.0.0.0",
        "runAgent: peerPort: 8081",
        "runAgent: cmdline: Vantrell.exe -GUI h 8080 0.0.0.0 8081 \"cp 1\"",
    };
    EXPECT_EQ(launcherLines(), expected);
    const auto dump = waitForFile(m_dump);
    ASSERT_TRUE(dump.has_value());
    EXPECT_EQ(splitZeros(*dump), (std::vector<std::string>{"-GUI", "h", "8080", "0.0.0.0", "8081", "cp 1"}));
}

// A line end typed or pasted into the name cannot forge a record of the launcher's log: the command line is logged
// with CR and LF shown as "\r" and "\n", and the agent receives the name as it was typed.
TEST_F(ScriptedDialog, LineEndsInTheNameAreLoggedVisibly) {
    installDump();
    const std::string forged = "2026-01-01 00:00:00.000,Info,1,NON,,runAgent,Error 2 in CreateProcessW.";
    const std::string name = "cp\r\n" + forged;
    runDialog([&](DialogDriver& dialog) {
        dialog.setText(std::wstring(name.begin(), name.end()));
        dialog.enter();
    });
    std::string text;
    for (const auto& line : sharedClient().lines()) text += line + "\n";
    for (const auto& line : parseLogLines(text)) {
        EXPECT_NE(line.time, "2026-01-01 00:00:00.000") << "a forged record: " << line.message;
    }
    const auto lines = launcherLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "runAgent: cmdline: Vantrell.exe -GUI h 8080 0.0.0.0 8081 \"cp\\r\\n" + forged + "\"");
    const auto dump = waitForFile(m_dump);
    ASSERT_TRUE(dump.has_value());
    EXPECT_EQ(splitZeros(*dump), (std::vector<std::string>{"-GUI", "h", "8080", "0.0.0.0", "8081", name}));
}

// Cancel, Esc and the end of input all end the dialog with 1 and start nothing.
TEST_F(ScriptedDialog, CancelAndEndOfInputStartNothing) {
    installDump();
    const struct {
        const char* what;
        std::function<void(DialogDriver&)> script;
    } cases[] = {
        {"cancel", [](DialogDriver& dialog) { dialog.cancel(); }},
        {"text, then cancel",
         [](DialogDriver& dialog) {
             dialog.setText(L"cp");
             dialog.cancel();
             dialog.enter();
         }},
        {"end of input", [](DialogDriver&) {}},
        {"end of input with text", [](DialogDriver& dialog) { dialog.setText(L"cp"); }},
    };
    for (const auto& c : cases) {
        platform_test::clearLauncherJournal();
        sharedClient().clear();
        EXPECT_EQ(runDialog(c.script), 1) << c.what;
        EXPECT_EQ(platform_test::launcherJournal(), std::vector<std::string>{"EndDialog 1"}) << c.what;
        EXPECT_EQ(launcherLines(), std::vector<std::string>{"Checkpoint: IDCANCEL"}) << c.what;
    }
}

// The edit box keeps at most 32767 characters, so the length's low 16 bits are the whole length; the name is read
// back exactly.
TEST_F(ScriptedDialog, NameIsReadBackWithinTheEditBoxLimit) {
    const struct {
        size_t typed;
        size_t kept;
    } cases[] = {{1, 1}, {300, 300}, {32767, 32767}, {65536, 32767}, {70000, 32767}};
    for (const auto& c : cases) {
        std::wstring typed;
        for (size_t i = 0; i < c.typed; ++i) typed += static_cast<wchar_t>(L'a' + i % 26);
        std::wstring read;
        bool okEnabled = false;
        runDialog([&](DialogDriver& dialog) {
            dialog.setText(typed);
            okEnabled = dialog.okEnabled();
            read = readCheckpointName(g_dialog);
        });
        EXPECT_TRUE(okEnabled) << c.typed;
        EXPECT_EQ(read, typed.substr(0, c.kept)) << c.typed;
    }
}

// EM_GETLINE copies at most the capacity found in the buffer's first element and writes no terminator.
TEST_F(ScriptedDialog, GetLineHonoursTheCapacityInTheBuffer) {
    const struct {
        wchar_t capacity;
        LRESULT copied;
        std::wstring buffer;
    } cases[] = {{3, 3, L"abc##"}, {6, 6, L"abcdef"}, {0, 0, std::wstring(1, L'\0') + L"####"}};
    for (const auto& c : cases) {
        std::vector<wchar_t> buffer(c.buffer.size(), L'#');
        LRESULT copied = -1;
        LRESULT length = -1;
        runDialog([&](DialogDriver& dialog) {
            dialog.setText(L"abcdef");
            length = SendDlgItemMessageW(g_dialog, 1002, EM_LINELENGTH, 0, 0);
            buffer[0] = c.capacity;
            copied = SendDlgItemMessageW(g_dialog, 1002, EM_GETLINE, 0, reinterpret_cast<LPARAM>(buffer.data()));
        });
        EXPECT_EQ(length, 6);
        EXPECT_EQ(copied, c.copied);
        EXPECT_EQ(std::wstring(buffer.begin(), buffer.end()), c.buffer) << int(c.capacity);
    }
}

using ProcessStart = LauncherFolder;

// The bare name is looked up in the launcher's folder, the current folder, then PATH, each as "Vantrell.exe" and
// then "Vantrell"; a folder of that name is passed over.
TEST_F(ProcessStart, FindsTheAgentInTheSearchOrder) {
    const std::string cwd = m_root + "/cwd", path = m_root + "/path";
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // folder, name
        std::vector<std::string> folders;                        // named "Vantrell.exe", to be passed over
        std::string expected;                                    // the folder whose program ran, "" for none
    } cases[] = {
        {"launcher's folder before the current one", {{"install", "Vantrell.exe"}, {"cwd", "Vantrell.exe"}}, {}, "install"},
        {"folder before name", {{"install", "Vantrell"}, {"cwd", "Vantrell.exe"}}, {}, "install"},
        {"exact name first", {{"install", "Vantrell"}, {"install", "Vantrell.exe"}}, {}, "install.exe"},
        {"current folder before PATH", {{"cwd", "Vantrell"}, {"path", "Vantrell.exe"}}, {}, "cwd"},
        {"PATH", {{"path", "Vantrell"}}, {}, "path"},
        {"a folder is not a program", {{"cwd", "Vantrell"}}, {"install"}, "cwd"},
        {"nowhere", {}, {}, ""},
    };
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    const fs::path savedCwd = fs::current_path();
    for (const auto& c : cases) {
        for (const auto& folder : {install(), cwd, path}) {
            fs::remove(folder + "/Vantrell.exe");
            fs::remove(folder + "/Vantrell");
            fs::create_directories(folder);
        }
        for (const auto& [folder, name] : c.files) {
            const std::string tag = name == "Vantrell.exe" && folder == "install" && c.expected == "install.exe"
                                        ? "install.exe"
                                        : folder;
            writeScript(m_root + "/" + folder + "/" + name, "printf '" + tag + "' > \"$TALVO_ARGV_DUMP.partial\"\n"
                        "mv \"$TALVO_ARGV_DUMP.partial\" \"$TALVO_ARGV_DUMP\"\n");
        }
        for (const auto& folder : c.folders) fs::create_directory(m_root + "/" + folder + "/Vantrell.exe");
        fs::remove(m_dump);
        setenv("PATH", (path + ":" + savedPath).c_str(), 1);
        fs::current_path(cwd);
        std::wstring name = L"cp";
        sharedClient().clear();
        runAgent(name);
        fs::current_path(savedCwd);
        setenv("PATH", savedPath.c_str(), 1);
        if (c.expected.empty()) {
            EXPECT_TRUE(!sharedClient().linesWith("Error 2 in CreateProcessW.").empty()) << c.what;
            continue;
        }
        const auto ran = waitForFile(m_dump);
        ASSERT_TRUE(ran.has_value()) << c.what;
        EXPECT_EQ(*ran, c.expected) << c.what;
        fs::remove(m_root + "/install/Vantrell.exe");
    }
}

// A program that cannot be run gives the Windows error of the cause; the dialog goes on as usual.
TEST_F(ProcessStart, ReportsWhyTheAgentCouldNotBeStarted) {
    const struct {
        const char* what;
        std::string content;
        mode_t mode;
        const char* expected;
    } cases[] = {
        {"not executable", "#!/bin/sh\n", 0644, "Error 5 in CreateProcessW."},
        {"not a program", std::string("\x01\x02garbage", 9), 0755, "Error 193 in CreateProcessW."},
    };
    for (const auto& c : cases) {
        const std::string program = install() + "/Vantrell.exe";
        fs::remove(program);
        std::ofstream(program, std::ios::binary) << c.content;
        chmod(program.c_str(), c.mode);
        sharedClient().clear();
        std::wstring name = L"cp";
        runAgent(name);
        EXPECT_TRUE(!sharedClient().linesWith(c.expected).empty()) << c.what;
        EXPECT_TRUE(startedPids().empty()) << c.what;
    }
}

// Windows' limit of 32767 characters holds the terminating zero: the longest line that starts has 32766.
TEST_F(ProcessStart, CommandLineStartsUpTo32766Characters) {
    installDump();
    const size_t framing = buildAgentCommandLine(readLauncherConfig(install() + "/Corbeline.conf"), L"").size();
    for (const size_t length : {size_t{32766}, size_t{32767}}) {
        SCOPED_TRACE(length);
        const bool starts = length < 32767;
        fs::remove(m_dump);
        platform_test::clearLauncherJournal();
        sharedClient().clear();
        std::wstring name(length - framing, L'n');  // quoted without escapes: only its quotes are added
        ASSERT_EQ(buildAgentCommandLine(readLauncherConfig(install() + "/Corbeline.conf"), name).size(), length);
        runAgent(name);
        EXPECT_EQ(sharedClient().linesWith("Error 206 in CreateProcessW.").size(), starts ? 0u : 1u);
        const auto pids = startedPids();
        ASSERT_EQ(pids.size(), starts ? 1u : 0u);
        if (!starts) continue;
        const auto dumped = waitForFile(m_dump);
        ASSERT_TRUE(dumped.has_value());
        const auto args = splitZeros(*dumped);
        ASSERT_FALSE(args.empty());
        EXPECT_EQ(args.back(), toUtf8(name));
        EXPECT_TRUE(reap(pids[0]));
        platform_test::clearLauncherJournal();
    }
}

// The agent gets no window: its standard streams are /dev/null, it inherits no other descriptor, it runs in a
// session of its own, and it is neither waited for nor reaped: its handle tells when it ended.
TEST_F(ProcessStart, StartsTheAgentDetachedAndUnreaped) {
    // Inheritable, and above the descriptors the child's shell opens for itself.
    const int opened = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(opened, 0);
    const int open = dup2(opened, 200);
    ::close(opened);
    ASSERT_EQ(open, 200);
    writeScript(install() + "/Vantrell",
                "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2)\n"
                "if [ -e /proc/$$/fd/" + std::to_string(open) + " ]; then fd=inherited; else fd=closed; fi\n"
                "if [ \"$(cut -d' ' -f6 /proc/$$/stat)\" = \"$$\" ]; then sid=own-session; else sid=shared; fi\n"
                "printf '%s\\n' \"$in\" \"$out\" \"$err\" $fd $sid > \"$TALVO_ARGV_DUMP.partial\"\n"
                "mv \"$TALVO_ARGV_DUMP.partial\" \"$TALVO_ARGV_DUMP\"\n");
    std::wstring line = L"Vantrell.exe -GUI h 8080 0.0.0.0 8081 \"cp\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process));
    ::close(open);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(process.hThread, 0), WAIT_OBJECT_0);
    const auto report = waitForFile(m_dump);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(*report, "/dev/null\n/dev/null\n/dev/null\nclosed\nown-session\n");
    EXPECT_TRUE(reap(static_cast<pid_t>(process.dwProcessId))) << "the stand-in reaped the child";
    platform_test::clearLauncherJournal();
    EXPECT_TRUE(CloseHandle(process.hProcess));
    EXPECT_TRUE(CloseHandle(process.hThread));
}

// Each server value and the name reach the real agent as one argument each, which it prints as it got it: a quote
// in a value of the configuration file neither merges values nor turns text of the name into keyword arguments.
TEST_F(ProcessStart, RealAgentGetsEachValueAsOneArgument) {
    fs::create_symlink(vantrellPath(), install() + "/Vantrell");
    platform_test::setStandinRoot((m_root + "/machine").c_str());
    setenv("TALVO_COMMON_APPDATA", "C:\\ProgramData", 1);
    const struct {
        std::string config;
        std::wstring name;
        std::vector<std::string> values;
    } cases[] = {
        {kServers, LR"(x" volumes=C: backupType="5 \)", {"h", "8080", "0.0.0.0", "8081"}},
        {"h 8080 0.0.0.0 0\"\n", L"x volumes=X: backupType=1", {"h", "8080", "0.0.0.0", "0\""}},
        {"127.0.0.1\" volumes=\"X: 8080 0.0.0.0\n", L"cp", {"127.0.0.1\"", "volumes=\"X:", "8080", "0.0.0.0"}},
    };
    const std::string logPath = m_root + "/machine/drive_c/ProgramData/Talvo/logs/Vantrell.exe.current.log.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        std::ofstream(install() + "/Corbeline.conf", std::ios::trunc) << c.config;
        std::error_code ignored;
        fs::remove(logPath, ignored);
        platform_test::clearLauncherJournal();
        std::wstring typed = c.name;
        runAgent(typed);
        const auto pids = startedPids();
        ASSERT_EQ(pids.size(), 1u);
        // The agent goes on to its checkpoint, which nobody here serves: once its arguments are logged it has shown
        // all this test needs, and it is ended.
        std::vector<std::string> expected{"arguments are :", "-GUI"};
        expected.insert(expected.end(), c.values.begin(), c.values.end());
        expected.push_back(toUtf8(c.name));
        std::vector<std::string> printed;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (printed.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            printed = messagesOf(parseLogLines(readFile(logPath)), "printArgs");
        }
        EXPECT_TRUE(reap(pids[0], 0));
        platform_test::clearLauncherJournal();
        ASSERT_GE(printed.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(printed.begin(), printed.begin() + expected.size()), expected);
    }
}

namespace {

// The Corbeline program in its install folder, with a machine of its own, fed `input` on its standard input.
class CorbelineProgram : public LauncherFolder {
protected:
    struct Run {
        ChildResult result;
        std::string out;
        std::string outPath;
        std::vector<LogLine> log;
    };
    Run run(const std::string& input) {
        const std::string tag = m_root + "/run" + std::to_string(++m_runs);
        std::ofstream(tag + ".in", std::ios::binary) << input;
        ChildOptions options;
        options.program = corbelinePath();
        options.stdinPath = tag + ".in";
        options.stdoutPath = tag + ".out";
        options.stderrPath = tag + ".err";
        options.workdir = m_root;
        options.env = {{"TALVO_STANDIN_ROOT", m_root + "/machine"},
                       {"TALVO_COMMON_APPDATA", "C:\\ProgramData"},
                       {platform_test::kModuleFileNameEnv, install() + "/Corbeline"},
                       {"TALVO_ARGV_DUMP", m_dump}};
        Run run;
        run.result = runChild(options);
        run.out = readFile(options.stdoutPath);
        run.outPath = options.stdoutPath;
        run.log = parseLogLines(readFile(logs() + "/Corbeline.exe.log.txt"));
        return run;
    }
    std::string logs() const { return m_root + "/machine/drive_c/ProgramData/Talvo/logs"; }
    static std::vector<std::string> trail(const std::vector<LogLine>& log) {
        std::vector<std::string> out;
        for (const auto& line : log) {
            if (line.method == "wWinMain" || line.method == "Checkpoint" || line.method == "runAgent") {
                out.push_back(line.level + " " + line.className + ":" + line.method + " " + line.message);
            }
        }
        return out;
    }
    int m_runs = 0;
};

}  // namespace

// An empty line leaves OK disabled and asks again; the next line starts the agent once with that name. The
// agent's own output never reaches the launcher's.
TEST_F(CorbelineProgram, TerminalLineStartsTheAgentOnce) {
    installDump();
    setenv("TALVO_ARGV_DUMP_SLEEP_MS", "0", 1);
    const Run r = run("\ncp 1\nsecond\n");
    ASSERT_TRUE(r.result.started);
    EXPECT_FALSE(r.result.timedOut);
    EXPECT_EQ(r.result.exitCode, 0);
    const auto dump = waitForFile(m_dump);
    ASSERT_TRUE(dump.has_value());
    EXPECT_EQ(splitZeros(*dump), (std::vector<std::string>{"-GUI", "h", "8080", "0.0.0.0", "8081", "cp 1"}));
    // Read again once the agent has written to its own streams.
    EXPECT_EQ(readFile(r.outPath), "Add VSS Checkpoint\nEnter a name for a checkpoint: Enter a name for a checkpoint: ");
    const std::vector<std::string> expected{
        "Info :wWinMain Invoked.",
        "Info :wWinMain Showing dialog...",
        "Info :Checkpoint IDOK",
        "Info :runAgent GetModuleFileNameA retrieved the following file name: " + install() + "/Corbeline",
        "Info :runAgent Configuration file name: " + install() + "/Corbeline.conf",
        "Info :runAgent localURL: h",
        "Info :runAgent localPort: 8080",
        "Info :runAgent peerURL: 0.0.0.0",
        "Info :runAgent peerPort: 8081",
        "Info :runAgent cmdline: Vantrell.exe -GUI h 8080 0.0.0.0 8081 \"cp 1\"",
        "Info :wWinMain Done.",
    };
    EXPECT_EQ(trail(r.log), expected);
}

// A quote in a value of the configuration file: the program's line quotes that value and nothing else, and the
// agent gets the file's values and the typed name one argument each.
TEST_F(CorbelineProgram, QuoteInAConfigurationValueStaysInThatValue) {
    installDump();
    setenv("TALVO_ARGV_DUMP_SLEEP_MS", "0", 1);
    std::ofstream(install() + "/Corbeline.conf", std::ios::trunc) << "h 8080 0.0.0.0 0\"\n";
    const Run r = run("x volumes=X: backupType=1\n");
    ASSERT_TRUE(r.result.started);
    EXPECT_EQ(r.result.exitCode, 0);
    const auto dump = waitForFile(m_dump);
    ASSERT_TRUE(dump.has_value());
    EXPECT_EQ(splitZeros(*dump),
              (std::vector<std::string>{"-GUI", "h", "8080", "0.0.0.0", "0\"", "x volumes=X: backupType=1"}));
    const auto lines = trail(r.log);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Info :runAgent peerPort: 0\""), lines.end());
    const std::string cmdline =
        R"(Info :runAgent cmdline: Vantrell.exe -GUI h 8080 0.0.0.0 "0\"" "x volumes=X: backupType=1")";
    EXPECT_NE(std::find(lines.begin(), lines.end(), cmdline), lines.end());
}

// The end of input cancels: nothing is started and the program still ends its log and exits 0.
TEST_F(CorbelineProgram, EndOfInputStartsNothing) {
    installDump();
    const struct {
        const char* what;
        std::string input;
    } cases[] = {{"no input", ""}, {"empty lines only", "\n\r\n\n"}};
    for (const auto& c : cases) {
        const Run r = run(c.input);
        ASSERT_TRUE(r.result.started) << c.what;
        EXPECT_EQ(r.result.exitCode, 0) << c.what;
        EXPECT_EQ(trail(r.log).size() >= 3 ? trail(r.log)[2] : "", "Info :Checkpoint IDCANCEL") << c.what;
        EXPECT_EQ(trail(r.log).back(), "Info :wWinMain Done.") << c.what;
        EXPECT_FALSE(fs::exists(m_dump)) << c.what;
    }
}

// A missing agent leaves an Error line; the dialog closes and the program exits 0. The launcher writes only its
// main log: no per-run log is created, and one lying there is left alone.
TEST_F(CorbelineProgram, MissingAgentIsLoggedAndOnlyTheMainLogIsWritten) {
    fs::create_directories(logs());
    std::ofstream(logs() + "/Corbeline.exe.current.log.txt") << "left alone\n";
    const Run r = run("cp\n");
    ASSERT_TRUE(r.result.started);
    EXPECT_EQ(r.result.exitCode, 0);
    const auto lines = trail(r.log);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Error :runAgent Error 2 in CreateProcessW.");
    EXPECT_EQ(lines.back(), "Info :wWinMain Done.");
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(logs())) files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"Corbeline.exe.current.log.txt", "Corbeline.exe.log.txt"}));
    EXPECT_EQ(readFile(logs() + "/Corbeline.exe.current.log.txt"), "left alone\n");
}

// The memory-tracking tweak chooses the guard's mode for the launcher's run too. A post margin too large for any
// block shows it: the registered mode ends the run at its first tracked allocation, the count-only mode never reads
// the margins.
TEST_F(CorbelineProgram, MemoryTrackingTweakChoosesTheGuardsMode) {
    const std::string margin = "t_memshield_post_margin_size=314572800\n";
    const struct {
        const char* tweaks;
        bool registered;
    } cases[] = {{"t_enableMemshield=1\n", true}, {"t_enableMemshield=0\n", false}, {"", false}};
    for (const auto& c : cases) {
        std::ofstream(m_root + "/tweaks_extension.txt", std::ios::binary | std::ios::trunc) << c.tweaks << margin;
        const Run r = run("");
        const std::string err = readFile(m_root + "/run" + std::to_string(m_runs) + ".err");
        ASSERT_TRUE(r.result.started) << c.tweaks;
        EXPECT_FALSE(r.result.timedOut) << c.tweaks;
        const bool assertion =
            err.find("Assertion (allocationLength < MAX_SINGLE_ALLOCATION_LENGTH) failed") != std::string::npos;
        EXPECT_EQ(assertion, c.registered) << c.tweaks << err;
        EXPECT_EQ(r.result.exitCode, c.registered ? 3 : 0) << c.tweaks << err;
    }
}
