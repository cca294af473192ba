#pragma once
#include "Types.h"

#include <bitset>
#include <cstddef>
#include <deque>

// What a handler says about one waiting request.
class NextIterationData : public std::bitset<3> {
public:
    enum Flag : std::size_t {
        COMPLETED_REQUEST = 0,   // the request is complete and leaves its queue
        MMI_STILL_WAITING = 1,   // the module goes on waiting with its next request
        CONTINUE_ITERATION = 2,  // the walk goes on with the next request
    };
    using std::bitset<3>::bitset;
    NextIterationData() = default;
    NextIterationData(const std::bitset<3>& bits) : std::bitset<3>(bits) {}
};

namespace WaitingRequestsQueue_Internal {

// A waiting request: a heap object made with the tracked allocation, owned and deleted by its queue.
class ISequentialItem {
public:
    virtual ~ISequentialItem() = default;
};

class ISequentialItemHandler {
public:
    virtual ~ISequentialItemHandler() = default;
    // Fills `flags` for one request; every flag is clear on entry.
    virtual void handle(NextIterationData& flags, ISequentialItem* item) = 0;
};

}  // namespace WaitingRequestsQueue_Internal

// One queued request. The key is non-zero and unique; a smaller key is an older request.
class SequentialRequest {
public:
    SequentialRequest(WaitingRequestsQueue_Internal::ISequentialItem* item, u64 key) : m_item(item), m_key(key) {}
    u64 getKey() const { return m_key; }
    WaitingRequestsQueue_Internal::ISequentialItem* getItem() const { return m_item; }

private:
    WaitingRequestsQueue_Internal::ISequentialItem* m_item;
    u64 m_key;
};

// One module's waiting requests, oldest first. It owns the items. No lock: the owner's lock guards it.
class WaitingRequestsQueue : public std::deque<SequentialRequest> {
public:
    WaitingRequestsQueue() = default;
    WaitingRequestsQueue(const WaitingRequestsQueue&) = delete;
    WaitingRequestsQueue& operator=(const WaitingRequestsQueue&) = delete;
    // Requests still queued are deleted unserved.
    ~WaitingRequestsQueue();

    // Removes the front request and deletes its item.
    void popRequest();
    // Walks the requests front to back, erasing and deleting the ones the handler completes, until the handler
    // stops the walk. Returns the key of the front request when the walk completed it, else 0.
    u64 iterateRequests(WaitingRequestsQueue_Internal::ISequentialItemHandler& handler);

    static void deleteTracked(WaitingRequestsQueue_Internal::ISequentialItem* item, u32 line);
};
