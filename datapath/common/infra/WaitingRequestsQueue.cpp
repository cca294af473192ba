#include "WaitingRequestsQueue.h"

#include "Logger.h"
#include "TrackedAllocation.h"

#include "TeskAssert.h"

WaitingRequestsQueue::~WaitingRequestsQueue() {
    for (SequentialRequest& request : *this) deleteTracked(request.getItem(), __LINE__);
}

void WaitingRequestsQueue::deleteTracked(WaitingRequestsQueue_Internal::ISequentialItem* item, u32 line) {
    trackedDelete(item, __FILE__, line);
}

void WaitingRequestsQueue::popRequest() {
    TESK_ASSERT_MSG(!empty(), "trying to remove request from an empty waiting list");
    if (empty()) return;
    deleteTracked(front().getItem(), __LINE__);
    pop_front();
}

u64 WaitingRequestsQueue::iterateRequests(WaitingRequestsQueue_Internal::ISequentialItemHandler& handler) {
    u64 firstRequestKey = 0;
    bool first = true;
    for (auto it = begin(); it != end(); first = false) {
        NextIterationData postIterationFlags;
        handler.handle(postIterationFlags, it->getItem());
        if (!postIterationFlags[NextIterationData::CONTINUE_ITERATION]) {
            // A stop carries no other flag: a completed request would be left queued.
            TESK_ASSERT_MSG(postIterationFlags.count() == 0,
                            "wrong postIterationFlags info" << " postIterationFlags=" << postIterationFlags << " ");
            break;
        }
        if (!postIterationFlags[NextIterationData::COMPLETED_REQUEST]) {
            ++it;
            continue;
        }
        if (first) firstRequestKey = it->getKey();
        deleteTracked(it->getItem(), __LINE__);
        it = erase(it);
    }
    return firstRequestKey;
}
