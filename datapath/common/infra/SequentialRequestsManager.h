#pragma once
#include "CountedWatchedContainer.h"
#include "Types.h"
#include "WaitingRequestsQueue.h"

#include <map>
#include <set>
#include <string>

class SequentialRequestsManager;

namespace SequentialRequestsManager_Internal {

// A subscribed module: its waiting requests and whether it holds a place in the manager's waiting order.
class ModuleInformation {
public:
    ModuleInformation() = default;
    ModuleInformation(const ModuleInformation&) = delete;
    ModuleInformation& operator=(const ModuleInformation&) = delete;

    bool getIsRequestInWaitingModules() const { return isRequestInWaitingModules; }

    WaitingRequestsQueue m_waitingRequestsQueue;

private:
    friend class ::SequentialRequestsManager;
    bool isRequestInWaitingModules = false;
};

}  // namespace SequentialRequestsManager_Internal

// The order in which waiting modules are served: each waiting module has one reference, keyed by its oldest
// request, so walking the keys in order serves requests in global arrival order. No lock of its own: every call
// runs under its owner's lock, handlers included.
class SequentialRequestsManager {
public:
    using ModuleInformation = SequentialRequestsManager_Internal::ModuleInformation;
    using WaitingModules = CountedWatchedContainer<std::map<u64, ModuleInformation*>>;
    using ModulesInfo = CountedWatchedContainer<std::set<ModuleInformation*>>;

    explicit SequentialRequestsManager(const std::string& name);
    SequentialRequestsManager(const SequentialRequestsManager&) = delete;
    SequentialRequestsManager& operator=(const SequentialRequestsManager&) = delete;

    // The module may queue requests and be served from now on.
    void subscribe(ModuleInformation* mmi);
    // Queues the item (made with the tracked allocation; the module's queue owns it from now on) at the back of
    // the module's requests and returns its key, taken from this manager's counter: non-zero and rising. The
    // module's place in the waiting order is its owner's business (importRequestReferenceInternal).
    u64 queueRequest(ModuleInformation* mmi, WaitingRequestsQueue_Internal::ISequentialItem* item);

    // Gives the module a reference keyed by its oldest request; nothing when it has none.
    void importRequestReferenceInternal(ModuleInformation* mmi);
    void removeRequestReference(WaitingModules::iterator waitingModulesIter, ModuleInformation* mmi);
    // Serves the oldest waiting request of all modules, again and again, until the handler stops or none waits.
    void iterateWaiting(WaitingRequestsQueue_Internal::ISequentialItemHandler& handler);
    // Walks one module's requests; a completed front moves the module's reference to its next request.
    void iterateAll(ModuleInformation* mmi, WaitingRequestsQueue_Internal::ISequentialItemHandler& handler);
    // iterateAll for every subscribed module, in address order.
    void iterateAllModules(WaitingRequestsQueue_Internal::ISequentialItemHandler& handler);

    const WaitingModules& waitingModules() const { return m_waitingModules; }
    const ModulesInfo& modulesInfo() const { return m_modulesInfo; }

private:
    WaitingModules m_waitingModules;
    ModulesInfo m_modulesInfo;
    std::string m_name;
    u64 m_lastKey = 0;
};
