#include "AgentInitializer.h"

#include "FileLogger.h"
#include "Logger.h"
#include "NativePath.h"
#include "TrackedAllocation.h"
#include "Tweaks.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

const char* const kSource = "Agent\\AgentCommon\\AgentInitializer";

struct TweakDefaultText {
    const char* name;
    const char* value;
};

const TweakDefaultText kTweakDefaults[] = {
    {"t_quolmMaxFiles", "3"},
    {"t_FileLoggerCompressOnRotate", "1"},
    {"t_FileLoggerEnabled", "1"},
    {"t_runnerEventFreezeCompleteTimeoutMsec", "75000"},
    {"t_runnerEventThawCompleteTimeoutMsec", "15000"},
    {"t_requesterQuiescedEventWaitTimeoutMsec", "72000"},
    {"t_requesterEventWaitForThawStartTimeoutMsec", "9500"},
    {"t_requesterEventWaitForSharedMemoryReadTimeoutMsec", "80000"},
    {"t_WaitAsyncTimeoutMsec", "62000"},
};

constexpr u32 kPerRunLogBudgetMiB = 1;
constexpr u32 kAllLevels = 255;

}  // namespace

void AgentInitializer::setTweakDefaults() {
    for (const auto& tweak : kTweakDefaults) Tweaks::instance()->setDefaultValIfNotSet(tweak.name, tweak.value);
}

void AgentInitializer::initLogger(const std::string& logFileName, bool withPerRunLog) {
    char path[MAX_PATH];
    if (FAILED(SHGetFolderPathA(NULL, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, NULL, 0, path))) return;
    PathAppendA(path, "Talvo");
    if (!CreateDirectoryA(path, NULL)) {
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            std::cout << "failed to create directory" << " lastError=" << error << " " << std::endl;
            return;
        }
    }
    PathAppendA(path, "logs");
    PathAppendA(path, logFileName.c_str());
    const std::string mainLogPath = path;

    const u32 budgetMiB = static_cast<u32>(Tweaks::instance()->intVal("t_quolmMaxFiles"));
    auto* mainLog = trackedNew<FileLoggerClient>("FileLoggerClient", kSource, 75, mainLogPath, budgetMiB, 0, "");
    Logger::instance()->registerClient(mainLog, kAllLevels);
    if (!withPerRunLog) return;

    const std::string perRunPath = currentLogFileName(mainLogPath.c_str());
    const std::string perRunFile = perRunPath + ".txt";
    if (pathExists(perRunFile) && runtimeRemove(perRunFile) != 0) {
        const int error = errno;
        std::cout << "Error removing file name=" << perRunFile << " err=" << error << "(" << std::strerror(error)
                  << ")" << std::endl;
    }
    auto* perRunLog =
        trackedNew<FileLoggerClient>("FileLoggerClient", kSource, 85, perRunPath, kPerRunLogBudgetMiB, 0, "");
    Logger::instance()->registerClient(perRunLog, kAllLevels);
}

std::string AgentInitializer::currentLogFileName(const char* path) {
    const std::string text = path ? path : "";
    const size_t dot = text.rfind('.');
    if (dot == std::string::npos) return text + ".current";
    return text.substr(0, dot) + ".current" + text.substr(dot);
}
