// Test controls of the stand-in's shell, message boxes and folder creation. Only tests include this header.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace platform_test {

// Environment variables the stand-in reads; a test sets them for itself or for the processes it starts.
// The common application-data folder (a Windows path), see SHGetFolderPathA.
constexpr const char* kCommonAppDataEnv = "TALVO_COMMON_APPDATA";
// A file to which every message box of the process is appended.
constexpr const char* kMessageBoxLogEnv = "TALVO_STANDIN_MESSAGEBOX_LOG";
// Milliseconds a message box stays up once it is recorded, as a user who has not closed it yet; 0 when unset.
constexpr const char* kMessageBoxHoldMsEnv = "TALVO_STANDIN_MESSAGEBOX_HOLD_MS";
// A Windows error number: the first CreateDirectoryA of the process fails with it.
constexpr const char* kFailNextCreateDirectoryEnv = "TALVO_STANDIN_FAIL_NEXT_CREATE_DIRECTORY";

// The next CreateDirectoryA of this process fails with `error`, whatever the folder.
void failNextCreateDirectory(DWORD error);

struct RecordedMessageBox {
    bool hasOwner = false;
    UINT type = 0;
    std::string caption;
    std::string text;
};
// The boxes recorded in `path`, in the order they were shown.
std::vector<RecordedMessageBox> readRecordedMessageBoxes(const std::string& path);

}  // namespace platform_test
