#include "SequentialRequestsManager.h"

#include "Logger.h"
#include "TeskAssert.h"

SequentialRequestsManager::SequentialRequestsManager(const std::string& name)
    : m_waitingModules(name + "WaitingModulesQueue"), m_modulesInfo("WaitingModules"), m_name(name) {}

void SequentialRequestsManager::subscribe(ModuleInformation* mmi) {
    TESK_ASSERT_MSG(mmi != nullptr, "subscribing a null mmi");
    if (mmi != nullptr) m_modulesInfo.insert(mmi);
    m_modulesInfo.noteSize();
}

u64 SequentialRequestsManager::queueRequest(ModuleInformation* mmi, WaitingRequestsQueue_Internal::ISequentialItem* item) {
    const bool subscribed = m_modulesInfo.find(mmi) != m_modulesInfo.end();
    TESK_ASSERT_MSG(subscribed, "queuing a request for an unsubscribed mmi" << " mmi=" << mmi << " ");
    TESK_ASSERT_MSG(item != nullptr, "queuing a null request" << " mmi=" << mmi << " ");
    if (!subscribed || item == nullptr) return 0;
    const u64 key = ++m_lastKey;
    mmi->m_waitingRequestsQueue.emplace_back(item, key);
    return key;
}

void SequentialRequestsManager::importRequestReferenceInternal(ModuleInformation* mmi) {
    const auto itWaitingModule = m_modulesInfo.find(mmi);
    TESK_ASSERT_MSG(itWaitingModule != m_modulesInfo.end(), "unsubscribed mmi");
    TESK_ASSERT_MSG(mmi->getIsRequestInWaitingModules() == false,
                    "trying to import request ref for mmi that already has request ref in waiting modules");
    if (itWaitingModule == m_modulesInfo.end() || mmi->getIsRequestInWaitingModules()) return;
    if (mmi->m_waitingRequestsQueue.empty()) return;

    const u64 key = mmi->m_waitingRequestsQueue.front().getKey();
    const auto inserted = m_waitingModules.emplace(key, mmi);
    m_waitingModules.noteSize();
    const bool keyIsFree = inserted.second;
    // A key that another module already holds would flag this module as waiting without a place in the order:
    // it would never be served.
    TESK_ASSERT_MSG(keyIsFree, "request key already in WaitingModules" << " key=" << key << " " << " mmi=" << mmi
                                                                        << " " << " holder=" << inserted.first->second
                                                                        << " ");
    if (!keyIsFree) return;
    mmi->isRequestInWaitingModules = true;
}

void SequentialRequestsManager::removeRequestReference(WaitingModules::iterator waitingModulesIter,
                                                       ModuleInformation* mmi) {
    TESK_ASSERT_MSG(waitingModulesIter->second == mmi, "trying to remove request reference of wrong mmi");
    TESK_ASSERT_MSG(mmi->getIsRequestInWaitingModules() == true,
                    "wrong IsRequestInWaitingModules flag info"
                        << " mmi->getIsRequestInWaitingModules()=" << (mmi->getIsRequestInWaitingModules() ? 1 : 0)
                        << " ");
    mmi->isRequestInWaitingModules = false;
    m_waitingModules.erase(waitingModulesIter);
    m_waitingModules.noteSize();
}

void SequentialRequestsManager::iterateWaiting(WaitingRequestsQueue_Internal::ISequentialItemHandler& handler) {
    while (!m_waitingModules.empty()) {
        const auto it = m_waitingModules.begin();
        const u64 key = it->first;
        ModuleInformation* mmi = it->second;
        WaitingRequestsQueue& waitingRequestsQueue = mmi->m_waitingRequestsQueue;
        // A request popped behind the manager's back leaves a reference to nothing.
        TESK_ASSERT_MSG(!waitingRequestsQueue.empty(),
                        "module in WaitingModules has no waiting request" << " key=" << key << " " << " mmi=" << mmi
                                                                          << " ");
        if (waitingRequestsQueue.empty()) return;
        const SequentialRequest& sequentialRequest = waitingRequestsQueue.front();
        TESK_ASSERT_MSG(sequentialRequest.getKey() == key,
                        "out of order- current request in WaitingModules  is not the same as the request in "
                        "waitingRequestsQueue front"
                            << " key=" << key << " " << " sequentialRequest.getKey()=" << sequentialRequest.getKey()
                            << " ");

        NextIterationData postIterationFlags;
        handler.handle(postIterationFlags, sequentialRequest.getItem());
        const bool completed = postIterationFlags[NextIterationData::COMPLETED_REQUEST];
        const bool stillWaiting = postIterationFlags[NextIterationData::MMI_STILL_WAITING];

        if (!postIterationFlags[NextIterationData::CONTINUE_ITERATION]) {
            TESK_ASSERT_MSG(postIterationFlags.count()==0,
                            "wrong postIterationFlags info" << " postIterationFlags=" << postIterationFlags << " ");
            return;
        }
        if (completed && stillWaiting) {
            waitingRequestsQueue.popRequest();
            removeRequestReference(it, mmi);
            importRequestReferenceInternal(mmi);
        } else if (stillWaiting) {
            TESK_ASSERT_MSG(false, "wrong flags data "
                                       << " postIterationFlags[NextIterationData::COMPLETED_REQUEST]=" << completed
                                       << " " << " postIterationFlags[NextIterationData::MMI_STILL_WAITING]="
                                       << stillWaiting << " ");
            return;
        } else {
            TESK_ASSERT_MSG(postIterationFlags[NextIterationData::COMPLETED_REQUEST] == false,
                            "removing completed request without importing a new request reference is not supported");
            if (completed) return;
            removeRequestReference(it, mmi);
        }
    }
}

void SequentialRequestsManager::iterateAll(ModuleInformation* mmi,
                                           WaitingRequestsQueue_Internal::ISequentialItemHandler& handler) {
    const auto it = m_modulesInfo.find(mmi);
    TESK_ASSERT_MSG(it != m_modulesInfo.end(), "mmi doesn't exist in WaitingRequests container");
    if (it == m_modulesInfo.end()) return;

    const u64 firstRequestKey = mmi->m_waitingRequestsQueue.iterateRequests(handler);
    if (firstRequestKey == 0) return;
    const auto waitingModulesIter = m_waitingModules.find(firstRequestKey);
    if (waitingModulesIter != m_waitingModules.end()) {
        removeRequestReference(waitingModulesIter, mmi);
        importRequestReferenceInternal(mmi);
        return;
    }
    const bool isRequestRefInWaitingModules = mmi->getIsRequestInWaitingModules();
    TESK_ASSERT_MSG(isRequestRefInWaitingModules==false,
                    "ambiguity related to request ref existence in WaitingModules"
                        << " isRequestRefInWaitingModules=" << isRequestRefInWaitingModules << " "
                        << " firstRequestKey=" << firstRequestKey << " ");
}

void SequentialRequestsManager::iterateAllModules(WaitingRequestsQueue_Internal::ISequentialItemHandler& handler) {
    for (ModuleInformation* mmi : m_modulesInfo) iterateAll(mmi, handler);
}
