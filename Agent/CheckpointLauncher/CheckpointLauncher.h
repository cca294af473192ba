#pragma once
#include <windows.h>

#include <string>

// The management servers from the launcher's configuration file: four values separated by white space.
struct LauncherConfig {
    std::string localURL;
    std::string localPort;
    std::string peerURL;
    std::string peerPort;
    bool opened = false;
    int valuesRead = 0;  // a value that could not be read stays empty
};

LauncherConfig readLauncherConfig(const std::string& path);

// Each byte becomes the character of the same value, whatever the locale.
std::wstring widenBytes(const std::string& bytes);

// The agent's command line: GUI mode, the four server values and the name, each of which the agent's runtime
// splits back to exactly the text given. The name is always quoted; a server value only when it holds a quote
// (or white space), so an ordinary configuration stands in the line as read.
std::wstring buildAgentCommandLine(const LauncherConfig& config, const std::wstring& name);

// The procedure of the dialog that asks for the checkpoint's name.
INT_PTR CALLBACK Checkpoint(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The text of the dialog's edit box.
std::wstring readCheckpointName(HWND window);

// Reads the configuration file and starts the agent with it and `name`, without waiting for it.
void runAgent(std::wstring& name);
