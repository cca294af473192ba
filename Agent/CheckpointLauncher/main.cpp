#include "AgentInitializer.h"
#include "CheckpointLauncher.h"
#include "Logger.h"
#include "MemShield.h"
#include "Tweaks.h"
#include "resource.h"

#include <windows.h>

#include <string>

extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    const std::string logFileName = "Corbeline.exe.log";
    AgentInitializer::setTweakDefaults();
    MemShield::s_enabled = Tweaks::instance()->longVal("t_enableMemshield", 0) != 0;
    // Only the main log: the launcher keeps no per-run log.
    AgentInitializer::initLogger(logFileName, false);
    Tweaks::instance()->print();

    LOG_FN(Info, "wWinMain") << "Invoked." << std::endl;
    LOG_FN(Info, "wWinMain") << "Showing dialog..." << std::endl;
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ADD_CHECKPOINT), NULL, Checkpoint, 0);
    LOG_FN(Info, "wWinMain") << "Done." << std::endl;
    Logger::instance()->flushClients();
    return 0;
}
