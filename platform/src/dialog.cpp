// The dialog manager: one modal dialog at a time, built from a table equal to dialog resource 101, driven by the
// terminal or by a test's script. Events become the WM_COMMAND messages Windows would send.
#include "launcher_internal.h"
#include "text_internal.h"

#include <platform/testing_launcher.h>
#include <windows.h>

#include <algorithm>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr WORD kDialogId = 101;
constexpr int kEditId = 1002;
constexpr size_t kEditLimit = 32767;  // an edit box's default text limit

struct ControlTemplate {
    int id;
    const wchar_t* cls;
    const wchar_t* text;
    bool disabled;
};

// In tab order: the edit box comes first and gets the focus.
const ControlTemplate kDialog101[] = {
    {kEditId, L"EDIT", L"", false},
    {IDOK, L"BUTTON", L"OK", true},
    {IDCANCEL, L"BUTTON", L"Cancel", false},
    {-1, L"STATIC", L"Enter a name for a checkpoint", false},
};

struct Window {
    Window* parent = nullptr;
    int id = 0;
    std::wstring cls;
    std::wstring text;
    bool enabled = true;
};

struct Dialog {
    Window self;
    std::vector<Window> controls;
    DLGPROC proc = nullptr;
    bool ended = false;
    INT_PTR result = 0;
};

// Windows live only while their dialog runs; a handle is checked against the open dialogs before use.
std::mutex g_lock;
std::vector<Dialog*> g_open;
std::function<void(platform_test::DialogDriver&)> g_script;

HWND handleOf(Window* window) { return reinterpret_cast<HWND>(window); }

Dialog* dialogOf(HWND handle) {
    for (Dialog* dialog : g_open) {
        if (handleOf(&dialog->self) == handle) return dialog;
    }
    return nullptr;
}

Window* windowOf(HWND handle) {
    for (Dialog* dialog : g_open) {
        if (handleOf(&dialog->self) == handle) return &dialog->self;
        for (Window& control : dialog->controls) {
            if (handleOf(&control) == handle) return &control;
        }
    }
    return nullptr;
}

Window* controlOf(Dialog* dialog, int id) {
    for (Window& control : dialog->controls) {
        if (control.id == id) return &control;
    }
    return nullptr;
}

class Driver : public platform_test::DialogDriver {
public:
    explicit Driver(Dialog& dialog) : m_dialog(dialog) {}

    void setText(const std::wstring& text) override {
        if (m_dialog.ended) return;
        Window* edit = controlOf(&m_dialog, kEditId);
        const std::wstring capped = text.substr(0, kEditLimit);
        if (capped == edit->text) return;
        edit->text = capped;
        command(kEditId, EN_CHANGE, edit);
    }
    void enter() override { clickOk(); }
    void clickOk() override {
        if (m_dialog.ended) return;
        Window* ok = controlOf(&m_dialog, IDOK);
        // A disabled default button takes neither the click nor the Enter key.
        if (!ok->enabled) return;
        command(IDOK, BN_CLICKED, ok);
    }
    void cancel() override {
        if (m_dialog.ended) return;
        command(IDCANCEL, BN_CLICKED, controlOf(&m_dialog, IDCANCEL));
    }
    bool okEnabled() const override { return controlOf(&m_dialog, IDOK)->enabled; }
    bool ended() const override { return m_dialog.ended; }
    std::wstring text() const override { return controlOf(&m_dialog, kEditId)->text; }

private:
    void command(int id, WORD code, Window* control) {
        m_dialog.proc(handleOf(&m_dialog.self), WM_COMMAND, MAKEWPARAM(id, code),
                      reinterpret_cast<LPARAM>(handleOf(control)));
    }
    Dialog& m_dialog;
};

// The terminal: a line is typed into the edit box and Enter pressed; an empty line leaves OK disabled and asks
// again; the end of input cancels.
void runTerminal(platform_test::DialogDriver& driver) {
    std::cout << "Add VSS Checkpoint" << std::endl;
    while (!driver.ended()) {
        std::cout << "Enter a name for a checkpoint: " << std::flush;
        std::string line;
        if (!std::getline(std::cin, line)) {
            std::cout << std::endl;
            driver.cancel();
            return;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        driver.setText(platform::detail::utf8ToWide(line));
        driver.enter();
    }
}

}  // namespace

namespace platform_test {

void scriptNextDialog(std::function<void(DialogDriver&)> script) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_script = std::move(script);
}

}  // namespace platform_test

INT_PTR DialogBoxParamW(HINSTANCE, LPCWSTR templateName, HWND, DLGPROC dialogProc, LPARAM initParam) {
    if (reinterpret_cast<ULONG_PTR>(templateName) != kDialogId || dialogProc == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    Dialog dialog;
    dialog.proc = dialogProc;
    dialog.self.cls = L"#32770";
    for (const auto& control : kDialog101) {
        dialog.controls.push_back(Window{&dialog.self, control.id, control.cls, control.text, !control.disabled});
    }
    std::function<void(platform_test::DialogDriver&)> script;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_open.push_back(&dialog);
        script = std::move(g_script);
        g_script = nullptr;
    }
    // The focus goes to the first control in tab order, the edit box.
    dialogProc(handleOf(&dialog.self), WM_INITDIALOG,
               reinterpret_cast<WPARAM>(handleOf(controlOf(&dialog, kEditId))), initParam);
    Driver driver(dialog);
    if (script) {
        script(driver);
    } else {
        runTerminal(driver);
    }
    driver.cancel();
    {
        std::lock_guard<std::mutex> lock(g_lock);
        std::erase(g_open, &dialog);
    }
    return dialog.result;
}

BOOL EndDialog(HWND handle, INT_PTR result) {
    Dialog* dialog = dialogOf(handle);
    if (dialog == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!dialog->ended) {
        dialog->ended = true;
        dialog->result = result;
        platform::detail::journal("EndDialog " + std::to_string(result));
    }
    return TRUE;
}

HWND GetDlgItem(HWND handle, int id) {
    Dialog* dialog = dialogOf(handle);
    if (dialog == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    Window* control = controlOf(dialog, id);
    if (control == nullptr) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    }
    return handleOf(control);
}

BOOL EnableWindow(HWND handle, BOOL enable) {
    Window* window = windowOf(handle);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const bool wasDisabled = !window->enabled;
    window->enabled = enable != FALSE;
    return wasDisabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND handle) {
    Window* window = windowOf(handle);
    return window != nullptr && window->enabled ? TRUE : FALSE;
}

LRESULT SendDlgItemMessageW(HWND handle, int id, UINT message, WPARAM, LPARAM lParam) {
    Window* control = nullptr;
    if (Dialog* dialog = dialogOf(handle)) control = controlOf(dialog, id);
    if (control == nullptr) {
        SetLastError(control == nullptr && dialogOf(handle) ? ERROR_CONTROL_ID_NOT_FOUND : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (control->cls != L"EDIT") return 0;
    switch (message) {
        case EM_LINELENGTH:
            return static_cast<LRESULT>(control->text.size());
        case EM_GETLINE: {
            // The capacity is a WORD in the buffer's first element; the copy has no terminator.
            wchar_t* buffer = reinterpret_cast<wchar_t*>(lParam);
            if (buffer == nullptr) return 0;
            const size_t capacity = static_cast<WORD>(buffer[0]);
            const size_t count = std::min(capacity, control->text.size());
            control->text.copy(buffer, count);
            return static_cast<LRESULT>(count);
        }
        default:
            return 0;
    }
}
