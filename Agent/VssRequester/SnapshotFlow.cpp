#include "SnapshotFlow.h"

#include "AgentStatus.h"
#include "LastAliveStampGuard.h"
#include "Logger.h"
#include "OpenToEveryone.h"
#include "Tweaks.h"
#include "WindowsErrorRecoveryGuard.h"

#include <cstring>
#include <exception>
#include <mutex>
#include <optional>

HANDLE SnapshotFlow::s_quiescedEvent = nullptr;
HANDLE SnapshotFlow::s_thawEvent = nullptr;
i32 SnapshotFlow::doSnapshotResult = 0;

namespace {

// The requester thread may fail at any moment, also after the main thread closed the events; the main thread's
// "close and clear" and the requester's "test and set" of QuiescedEvent take turns under this lock, so a late
// failure never sets a closed (and perhaps recycled) handle.
std::mutex& quiescedEventLock() {
    static std::mutex lock;
    return lock;
}

// Logged under the function that tried the set.
void logSetEventFailure(const char* function) {
    LOG_FN(Error, function) << "SetEventFailure" << " setEventRes=" << 0 << " " << " lastError=" << GetLastError()
                            << " " << std::endl;
}

void setThawEvent(const char* function) {
    if (!SetEvent(SnapshotFlow::s_thawEvent)) logSetEventFailure(function);
}

// Every tweak read between engaging and ending the guards, the requesters' included: read here first, before
// anything is guarded, so that a malformed value ends the process with the machine as it was. Nothing changes a
// tweak later in a run, so the later reads find the same, checked value.
const char* const kTweaksReadWhileGuarded[] = {
    "t_WaitAsyncTimeoutMsec",                       // the VSS requester's asynchronous waits
    "t_requesterEventWaitForThawStartTimeoutMsec",  // the requester simulator's wait for the thaw
};

void closeEvents() {
    std::lock_guard<std::mutex> hold(quiescedEventLock());
    CloseHandle(SnapshotFlow::s_thawEvent);
    SnapshotFlow::s_thawEvent = nullptr;
    CloseHandle(SnapshotFlow::s_quiescedEvent);
    SnapshotFlow::s_quiescedEvent = nullptr;
}

void releaseMutex(HANDLE mutex) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

bool errorRecoveryGuardWanted() {
    OSVERSIONINFOW version;
    std::memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);  // a failed query leaves major version 0
    return version.dwMajorVersion >= 6;
}

// Both guards for the frozen period: the reliability stamp set aside last, restored first.
struct Guards {
    explicit Guards(bool errorRecovery) : m_errorRecovery(errorRecovery) {}
    WindowsErrorRecoveryGuard m_errorRecovery;
    LastAliveStampGuard m_lastAlive;
};

}  // namespace

int SnapshotFlow::execute(SnapshotFlowArgs& args, ISnapshotFlowListener* listener, IVssRequester* requester,
                          StatusReaderWriter* status) {
    OpenToEveryone security;

    LOG(Info) << "Creating mutex" << std::endl;
    HANDLE mutex = CreateMutexA(security.attributes(), FALSE, kMutexName);
    LOG(Info) << "Waiting for mutex" << std::endl;
    WaitForSingleObject(mutex, INFINITE);  // abandoned: owned all the same

    LOG(Info) << "Creating events" << std::endl;
    {
        std::lock_guard<std::mutex> hold(quiescedEventLock());
        s_quiescedEvent = CreateEventA(security.attributes(), FALSE, FALSE, kQuiescedEventName);
        s_thawEvent = CreateEventA(security.attributes(), FALSE, FALSE, kThawEventName);
    }
    ResetEvent(s_quiescedEvent);
    ResetEvent(s_thawEvent);
    LOG(Info) << "Events: " << s_quiescedEvent << ", " << s_thawEvent << std::endl;

    int prepared;
    try {
        prepared = listener->notifySnapshotPrepare();
    } catch (...) {
        closeEvents();
        releaseMutex(mutex);
        throw;
    }
    if (prepared != 0) {
        LOG(Error) << "notifyFreezePrepare failed with" << " res=" << prepared << " " << std::endl;
        closeEvents();
        releaseMutex(mutex);
        listener->notifySnapshotCompleteFailure(prepared);
        return AgentStatus::QuiescedWaitFailed;
    }

    // Read before anything is guarded: a malformed value ends the process, which must leave the machine as it was.
    const i32 timeout = Tweaks::instance()->intVal("t_requesterQuiescedEventWaitTimeoutMsec");
    for (const char* name : kTweaksReadWhileGuarded) Tweaks::instance()->intVal(name);

    RequesterThreadArgs context{requester, &args};
    i32 result = AgentStatus::Ok;
    {
        std::optional<Guards> guards;
        guards.emplace(errorRecoveryGuardWanted());

        LOG(Info) << "Invoking requester" << std::endl;
        HANDLE thread = CreateThread(NULL, 0, launchVssRequesterDoSnapshot, &context, 0, NULL);
        if (!thread) {
            LOG(Error) << "CreateThread failed. Last error: " << GetLastError() << std::endl;
            closeEvents();
            // The guards end before the release: an agent waiting for the mutex engages its own next.
            guards.reset();
            releaseMutex(mutex);
            listener->notifySnapshotCompleteFailure(1);
            return AgentStatus::RequesterThreadNotStarted;
        }

        try {
            LOG(Info) << "Waiting for event..." << " s_quiescedEvent=" << s_quiescedEvent << " "
                      << "with timeout of :" << timeout << "ms" << std::endl;
            const DWORD waited = WaitForSingleObject(s_quiescedEvent, static_cast<DWORD>(timeout));
            // Whenever the wait did not see the freeze, the provider may still freeze: it thaws at once then.
            if (waited == WAIT_ABANDONED) {
                LOG(Error) << "::WaitForSingleObject(quiescedEvent, " << timeout << ") returned WAIT_ABANDONED"
                           << std::endl;
                listener->notifySnapshotCompleteFailure(WAIT_ABANDONED);
                setThawEvent("SnapshotFlow::execute");
                result = AgentStatus::QuiescedWaitAbandoned;
            } else if (waited == WAIT_TIMEOUT) {
                LOG(Error) << "::WaitForSingleObject(quiescedEvent, " << timeout << ") returned WAIT_TIMEOUT"
                           << std::endl;
                listener->notifySnapshotCompleteFailure(WAIT_TIMEOUT);
                setThawEvent("SnapshotFlow::execute");
                result = AgentStatus::QuiescedWaitTimeout;
            } else if (waited == WAIT_FAILED) {
                LOG(Error) << "::WaitForSingleObject(quiescedEvent, " << timeout << ") returned WAIT_FAILED"
                           << std::endl;
                listener->notifySnapshotCompleteFailure(-1);
                setThawEvent("SnapshotFlow::execute");
                result = AgentStatus::QuiescedWaitFailed;
            }

            status->m_handler->write(static_cast<u32>(result));
            if (result == AgentStatus::Ok) signalVssIsFrozenWaitForThaw(listener);
        } catch (...) {
            // A listener or the status channel threw: the provider may thaw, the requester ends, the machine is
            // put back and the mutex freed before the exception goes on to the entry's handler. Nothing here
            // logs: a log line that throws in turn would skip the rest.
            SetEvent(s_thawEvent);
            closeEvents();
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            guards.reset();
            releaseMutex(mutex);
            throw;
        }

        closeEvents();

        LOG(Info) << "Waiting for requester doSnapshot thread to terminate" << std::endl;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }

    LOG(Info) << "Releasing mutex" << std::endl;
    releaseMutex(mutex);

    LOG(Info) << "doSnapshotResult :" << static_cast<u32>(doSnapshotResult) << std::endl;
    status->m_handler->write(static_cast<u32>(doSnapshotResult));

    LOG(Info) << "creating second snapshot to take writers out of \"Timed out\" state" << std::endl;
    launchVssRequesterDoSnapshot(&context);
    LOG(Info) << "second snapshot completed" << std::endl;

    if (result == AgentStatus::Ok) listener->notifySnapshotCompleteSuccess();
    return result;
}

void SnapshotFlow::signalVssIsFrozenWaitForThaw(ISnapshotFlowListener* listener) {
    LOG(Info) << "Now quiesced" << std::endl;
    listener->notifySnapshotQuiesceSuccess();
    LOG(Info) << "Setting thaw event" << std::endl;
    setThawEvent("SnapshotFlow::signalVssIsFrozenWaitForThaw");
    LOG(Info) << "On thaw." << std::endl;
    listener->notifySnapshotThawSuccess();
}

DWORD WINAPI SnapshotFlow::launchVssRequesterDoSnapshot(LPVOID context) {
    auto* threadArgs = static_cast<RequesterThreadArgs*>(context);
    try {
        const int r = threadArgs->m_requester->DoSnapshot(threadArgs->m_args->m_argsRequester);
        doSnapshotResult = r;
        if (r != 0) {
            LOG(Error) << "launchVssRequesterDoSnapshot failed with error : " << " doSnapshotResult="
                       << static_cast<u32>(r) << " " << " releasing  quiescedEvent." << std::endl;
            std::lock_guard<std::mutex> hold(quiescedEventLock());
            // Closed by the flow already: nobody waits any more, and the handle may name another object now.
            if (s_quiescedEvent && !SetEvent(s_quiescedEvent)) {
                logSetEventFailure("SnapshotFlow::launchVssRequesterDoSnapshot");
            }
        }
        return static_cast<DWORD>(doSnapshotResult);
    } catch (const std::exception& e) {
        LOG(Error) << "launchVssRequesterDoSnapshot failed due to : " << e.what() << std::endl;
        return static_cast<DWORD>(AgentStatus::RequesterException);
    } catch (...) {
        // Whatever else is thrown ends the requester the same way: left to the thread, it would end the process
        // with the guards engaged and the volumes perhaps frozen.
        LOG(Error) << "launchVssRequesterDoSnapshot failed due to an unknown exception" << std::endl;
        return static_cast<DWORD>(AgentStatus::RequesterException);
    }
}
