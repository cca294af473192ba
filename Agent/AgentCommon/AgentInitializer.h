#pragma once
#include <string>

// The start-up both programs share: tweak defaults and the file logs.
class AgentInitializer {
public:
    // Registers the agent's tweak defaults; a value loaded from a tweak file stays.
    static void setTweakDefaults();
    // Sets up the log folder "Talvo\logs" under the common application-data folder and registers the file logs:
    // the rotating main log `logFileName` and, with `withPerRunLog`, the per-run log that starts empty at every
    // run. A failure is reported on the standard output and leaves the process without file logs.
    static void initLogger(const std::string& logFileName, bool withPerRunLog = true);
    // The per-run log's name: ".current" inserted before the path's last '.' ("x.exe.log" -> "x.exe.current.log");
    // a path without '.' gets ".current" appended.
    static std::string currentLogFileName(const char* path);
};
