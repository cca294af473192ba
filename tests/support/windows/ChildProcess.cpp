// Child processes started with CreateProcess and waited for on their handles.
#include "ChildProcess.h"
#include "ChildProcessDetail.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>

std::string builtProgram(const char* built) {
    std::string path = built;
    // Wine shows this machine's root folder as drive Z.
    if (!path.empty() && path[0] == '/') {
        for (char& c : path) {
            if (c == '/') c = '\\';
        }
        path = "Z:" + path;
    }
    return path;
}

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

HANDLE openOutput(const std::string& path) {
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    if (path.empty()) {
        return CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    }
    return CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// This process's environment with the options' changes, sorted as Windows expects.
std::wstring environmentBlock(const ChildOptions& options) {
    std::vector<std::wstring> entries;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; *p; p += wcslen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : lastChangeOfEachName(options)) {
        const std::wstring prefix = widen(name) + L"=";
        std::vector<std::wstring> kept;
        for (auto& entry : entries) {
            if (_wcsnicmp(entry.c_str(), prefix.c_str(), prefix.size()) != 0) kept.push_back(entry);
        }
        if (!value.empty()) kept.push_back(prefix + widen(value));
        entries.swap(kept);
    }
    std::sort(entries.begin(), entries.end(),
              [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
    std::wstring block;
    for (const auto& entry : entries) block += entry + L'\0';
    block += L'\0';
    return block;
}

HANDLE processOf(std::intptr_t process) { return reinterpret_cast<HANDLE>(process); }

}  // namespace

ChildResult runChild(const ChildOptions& options) {
    ChildResult result;
    const std::wstring program = widen(options.program);
    std::wstring commandLine = quoteWindowsArgument(program);
    for (const auto& arg : options.args) commandLine += L" " + quoteWindowsArgument(widen(arg));
    std::wstring environment = environmentBlock(options);
    std::wstring workdir;
    if (!options.workdir.empty()) {
        wchar_t full[MAX_PATH];
        GetFullPathNameW(widen(options.workdir).c_str(), MAX_PATH, full, nullptr);
        workdir = full;
    }
    HANDLE out = openOutput(options.stdoutPath);
    HANDLE err = openOutput(options.stderrPath);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!options.stdinPath.empty()) {
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        in = CreateFileW(widen(options.stdinPath).c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING, 0,
                         nullptr);
    }
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    const BOOL created =
        CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                       environment.data(), workdir.empty() ? nullptr : workdir.c_str(), &startup, &process);
    CloseHandle(out);
    CloseHandle(err);
    if (!options.stdinPath.empty()) CloseHandle(in);
    if (!created) return result;
    result.started = true;
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(options.deadlineMs)) != WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(process.hProcess, 9);
        WaitForSingleObject(process.hProcess, 10000);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exitCode = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

ChildProcess::~ChildProcess() {
    if (m_running) {
        kill();
        wait(5000);
    }
    if (m_process) CloseHandle(processOf(m_process));
}

std::string ChildProcess::toolPath(const std::string& name) {
    std::string path = std::string(TALVO_TOOLS_DIR) + "/" + name + ".exe";
    if (!path.empty() && path[0] == '/') path = "Z:" + path;  // a Linux path of the build, seen through Wine
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args) {
    std::string line = "\"" + program + "\"";
    for (const auto& a : args) line += " \"" + a + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(program.c_str(), line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    m_process = reinterpret_cast<std::intptr_t>(pi.hProcess);
    m_running = true;
    return true;
}

int ChildProcess::wait(int ms) {
    if (!m_running) return m_exitCode;
    if (WaitForSingleObject(processOf(m_process), static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(processOf(m_process), &code);
    m_exitCode = static_cast<int>(code);
    m_running = false;
    return m_exitCode;
}

void ChildProcess::kill() {
    if (m_running) TerminateProcess(processOf(m_process), 137);
}

void useOwnStandinRoot() {}
