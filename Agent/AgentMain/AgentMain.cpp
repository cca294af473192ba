#include "AgentMain.h"

#include "AgentInitializer.h"
#include "AgentStatus.h"
#include "ArgsParserUtils.h"
#include "Arguments.h"
#include "ArgumentsParser.h"
#include "Logger.h"
#include "MemShield.h"
#include "RunnerAgentSynchronizer.h"
#include "ServiceUtils.h"
#include "SnapshotFlow.h"
#include "SnapshotFlowExternallyInitiatedListener.h"
#include "SnapshotFlowInternallyInitiatedListener.h"
#include "StatusReaderWriter.h"
#include "TrackedAllocation.h"
#include "Tweaks.h"
#include "VssRequester.h"
#include "VssRequesterSimulator.h"

#include <windows.h>

#include <exception>
#include <iostream>
#include <string>

#define LOG_MAIN(level) LOG_FN(level, "wmain")

namespace {

const char* const kProgramName = "Vantrell.exe";
const char* const kSource = "Agent\\AgentMain\\main";
constexpr int kServiceDoesNotExist = 1060;  // ERROR_SERVICE_DOES_NOT_EXIST

// The run's heap objects. The status channel lives until the process ends; the listener and the requester only
// until the flow returned, unless an exception left it. Held here so they stay reachable while the process exits.
StatusReaderWriter* g_status = nullptr;
ISnapshotFlowListener* g_listener = nullptr;
IVssRequester* g_requester = nullptr;

int finish(int status) {
    LOG_MAIN(Info) << kProgramName << " done." << " ret=" << status << " " << std::endl;
    const i32 readTimeoutMs = Tweaks::instance()->intVal("t_requesterEventWaitForSharedMemoryReadTimeoutMsec");
    // The run's last tweak read: from here on the list of tweaks it depends on is complete.
    Tweaks::instance()->printRead();
    // The outcome is on disk before the wait, which may last long enough for someone to end the agent.
    Logger::instance()->flushClients();
    RunnerAgentSynchronizer::waitForSignal(static_cast<u32>(readTimeoutMs));
    Logger::instance()->flushClients();
    return status;
}

// Everything after the start-up, inside the entry's exception handler.
int run(int argc, wchar_t** argv) {
    LOG_MAIN(Info) << kProgramName << " invoked." << std::endl;
    ArgsParserUtils::printArgs(argc, argv);

    Arguments arguments;
    arguments.m_snapshotFlow.m_argsRequester.m_backupType = 0;
    bool parse = true;
    if (argc > 1) {
        const std::wstring mode = argv[1];
        if (mode == L"-ExternallyInitiated") {
            arguments.isExternallyInitiated = true;
            arguments.isGUI = false;
            arguments.m_snapshotFlow.m_argsRequester.m_backupType = -1;
            arguments.m_snapshotFlow.m_argsRequester.m_volumes.clear();
            parse = false;
        } else if (mode == L"-GUI") {
            arguments.isGUI = true;
            ++argv;
            --argc;
        }
    }
    if (parse) {
        const int rc = ParseDr(argc, argv, arguments);
        if (rc != 0) {
            LOG_MAIN(Error) << "ArgumentsParser failed" << " ret=" << rc << " " << std::endl;
            return rc;
        }
    }

    g_status = trackedNew<StatusReaderWriter>("StatusReaderWriter", kSource, 42);
    LOG_MAIN(Info) << "Making sure that Talvo VSS Provider service is started..." << std::endl;
    const int serviceRc = ServiceUtils::startService("TalvoVssProvider");
    if (serviceRc != 0) {
        LOG_MAIN(Error) << "failed to start vss provider service due to :" << serviceRc << std::endl;
        const i32 status =
            serviceRc == kServiceDoesNotExist ? AgentStatus::ProviderServiceMissing : AgentStatus::ProviderServiceNotStarted;
        g_status->m_handler->write(static_cast<u32>(status));
        RunnerAgentSynchronizer::signal();
        return finish(status);
    }
    LOG_MAIN(Info) << "Talvo VSS Provider service is started." << std::endl;

    if (arguments.isExternallyInitiated) {
        g_listener = trackedNew<SnapshotFlowExternallyInitiatedListener>("SnapshotFlowExternallyInitiatedListener",
                                                                         kSource, 62);
    } else {
        g_listener = trackedNew<SnapshotFlowInternallyInitiatedListener>("SnapshotFlowInternallyInitiatedListener",
                                                                         kSource, 66, arguments);
    }
    if (Tweaks::instance()->longVal("t_requesterSimulativeVss", 0) != 0) {
        LOG_MAIN(Info) << "VssRequesterSimulator requester" << std::endl;
        g_requester = trackedNew<VssRequesterSimulator>("VssRequesterSimulator", kSource, 73);
    } else {
        LOG_MAIN(Info) << "VssRequester requester" << std::endl;
        g_requester = trackedNew<VssRequester>("VssRequester", kSource, 78);
    }

    const int status = SnapshotFlow::execute(arguments.m_snapshotFlow, g_listener, g_requester, g_status);
    trackedDelete(g_requester, kSource, 82);
    g_requester = nullptr;
    trackedDelete(g_listener, kSource, 83);
    g_listener = nullptr;
    if (status != 0) {
        LOG_MAIN(Error) << "SnapshotFlow failed" << " ret=" << status << " " << std::endl;
        return status;
    }

    const char* const kInitiated = "The VSS checkpoint request has been initiated.";
    if (arguments.isGUI) {
        // The box stays up until the user closes it, and the agent may be ended meanwhile: the outcome goes to
        // disk first.
        Logger::instance()->flushClients();
        MessageBoxA(NULL, kInitiated, "Add VSS Checkpoint Status", MB_OK);
    } else {
        std::cout << kInitiated << std::endl;
    }
    return finish(status);
}

}  // namespace

int agentMain(int argc, wchar_t** argv) {
    const std::string logFileName = "Vantrell.exe.log";
    AgentInitializer::setTweakDefaults();
    MemShield::s_enabled = Tweaks::instance()->longVal("t_enableMemshield", 0) != 0;
    AgentInitializer::initLogger(logFileName);
    Tweaks::instance()->print();

    int status;
    try {
        status = run(argc, argv);
    } catch (const std::exception& e) {
        LOG_MAIN(Error) << "agent crushed for the following reason : " << e.what() << std::endl;
        Logger::instance()->flushClients();
        status = AgentStatus::UnhandledException;
    } catch (...) {
        LOG_MAIN(Error) << "agent crushed for unknown reason " << std::endl;
        Logger::instance()->flushClients();
        status = AgentStatus::UnhandledException;
    }
    std::cout.flush();
    return status;
}
