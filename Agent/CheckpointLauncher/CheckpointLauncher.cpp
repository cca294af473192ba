#include "CheckpointLauncher.h"

#include "CommandLineQuoting.h"
#include "Logger.h"
#include "VisibleLineEnds.h"
#include "WideText.h"
#include "resource.h"

#include <fstream>
#include <vector>

#define LOG_RUN_AGENT(level) LOG_FN(level, "runAgent")

LauncherConfig readLauncherConfig(const std::string& path) {
    LauncherConfig config;
    std::ifstream in(path);
    config.opened = in.is_open();
    std::string* const values[] = {&config.localURL, &config.localPort, &config.peerURL, &config.peerPort};
    for (std::string* value : values) {
        if (!(in >> *value)) break;
        ++config.valuesRead;
    }
    return config;
}

std::wstring widenBytes(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (char c : bytes) out += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

namespace {

// A value stands as it is unless the runtime's split would not give it back as one argument; then it is quoted.
// A missing value stays empty: the agent then sees fewer values and prints its usage.
std::wstring configurationArgument(const std::string& value) {
    const std::wstring wide = widenBytes(value);
    if (wide.find_first_of(L" \t\n\v\"") == std::wstring::npos) return wide;
    return quoteCommandLineArgument(wide);
}

}  // namespace

std::wstring buildAgentCommandLine(const LauncherConfig& config, const std::wstring& name) {
    return L"Vantrell.exe" + std::wstring(L" -GUI ") + configurationArgument(config.localURL) + L" " +
           configurationArgument(config.localPort) + L" " + configurationArgument(config.peerURL) + L" " +
           configurationArgument(config.peerPort) + L" " + quoteCommandLineArgument(name);
}

INT_PTR CALLBACK Checkpoint(HWND window, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;  // the dialog manager gives the focus to the edit box
    if (message != WM_COMMAND) return FALSE;
    if (HIWORD(wParam) == EN_CHANGE && LOWORD(wParam) == IDC_CHECKPOINT_NAME) {
        const std::wstring name = readCheckpointName(window);
        EnableWindow(GetDlgItem(window, IDOK), name.empty() ? FALSE : TRUE);
    }
    switch (LOWORD(wParam)) {
        case IDOK: {
            LOG_FN(Info, "Checkpoint") << "IDOK" << std::endl;
            std::wstring name = readCheckpointName(window);
            // Runs while the dialog is still shown.
            runAgent(name);
            EndDialog(window, 1);
            return TRUE;
        }
        case IDCANCEL:
            LOG_FN(Info, "Checkpoint") << "IDCANCEL" << std::endl;
            EndDialog(window, 1);
            return TRUE;
        default:
            return FALSE;
    }
}

std::wstring readCheckpointName(HWND window) {
    // Only the low 16 bits count; the edit box holds at most 32767 characters.
    const size_t length =
        static_cast<WORD>(SendDlgItemMessageW(window, IDC_CHECKPOINT_NAME, EM_LINELENGTH, 0, 0) & 0xFFFF);
    std::vector<wchar_t> buffer(length + 1, L'\0');
    buffer[0] = static_cast<wchar_t>(length);  // EM_GETLINE reads its capacity from the first element
    SendDlgItemMessageW(window, IDC_CHECKPOINT_NAME, EM_GETLINE, 0, reinterpret_cast<LPARAM>(buffer.data()));
    buffer[length] = L'\0';
    return std::wstring(buffer.data());
}

void runAgent(std::wstring& name) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(NULL, path, MAX_PATH);
    LOG_RUN_AGENT(Info) << "GetModuleFileNameA retrieved the following file name: " << path << std::endl;
    const std::string configPath = std::string(path) + ".conf";
    LOG_RUN_AGENT(Info) << "Configuration file name: " << configPath << std::endl;

    const LauncherConfig config = readLauncherConfig(configPath);
    // The agent is started all the same; it rejects the short line and leaves its own trail.
    if (!config.opened) {
        LOG_RUN_AGENT(Error) << "Configuration file " << configPath << " could not be opened." << std::endl;
    } else if (config.valuesRead < 4) {
        LOG_RUN_AGENT(Error) << "Configuration file " << configPath << " holds " << config.valuesRead
                             << " of 4 values." << std::endl;
    }
    LOG_RUN_AGENT(Info) << "localURL: " << config.localURL << std::endl;
    LOG_RUN_AGENT(Info) << "localPort: " << config.localPort << std::endl;
    LOG_RUN_AGENT(Info) << "peerURL: " << config.peerURL << std::endl;
    LOG_RUN_AGENT(Info) << "peerPort: " << config.peerPort << std::endl;

    std::wstring commandLine = buildAgentCommandLine(config, name);
    LOG_RUN_AGENT(Info) << "cmdline: " << visibleLineEnds(toUtf8(commandLine)) << std::endl;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // The handles stay open until the launcher exits; nothing waits for the agent.
    if (!CreateProcessW(NULL, commandLine.data(), NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup,
                        &process)) {
        const DWORD error = GetLastError();
        LOG_RUN_AGENT(Error) << "Error " << error << " in CreateProcessW." << std::endl;
    }
}
