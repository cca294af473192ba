// Test controls of the stand-in's dialogs and process creation. Only tests include this header.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace platform_test {

// GetModuleFileNameA answers with this path instead of the running program's; inherited by child processes.
constexpr const char* kModuleFileNameEnv = "TALVO_STANDIN_MODULE_FILE_NAME";
// Sets kModuleFileNameEnv for this process; "" removes it.
void setModuleFileName(const std::string& path);

// What a user does with a dialog. Once the dialog has ended, every event is ignored.
class DialogDriver {
public:
    virtual ~DialogDriver() = default;
    // Replaces the edit box's text (cut to 32767 characters); a change notifies the dialog procedure.
    virtual void setText(const std::wstring& text) = 0;
    // The Enter key and a click on OK: delivered only while OK is enabled.
    virtual void enter() = 0;
    virtual void clickOk() = 0;
    // Esc, the close box or the end of input.
    virtual void cancel() = 0;
    virtual bool okEnabled() const = 0;
    virtual bool ended() const = 0;
    virtual std::wstring text() const = 0;
};

// The next DialogBoxParamW of this process runs `script` in place of the terminal. A script that returns while
// the dialog is still shown ends it as the end of input does (Cancel).
void scriptNextDialog(std::function<void(DialogDriver&)> script);

// "CreateProcessW <pid>" and "EndDialog <result>" for each successful call of this process, in order.
std::vector<std::string> launcherJournal();
void clearLauncherJournal();

}  // namespace platform_test
