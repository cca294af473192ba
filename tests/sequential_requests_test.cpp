#include "ChildSupport.h"
#include "FatalStop.h"
#include "MemShield.h"
#include "ModuleMemoryInformation.h"
#include "SequentialRequestsManager.h"
#include "ServiceThreads.h"
#include "TestSupport.h"
#include "TrackedAllocation.h"
#include "WaitingRequestsQueue.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using WaitingRequestsQueue_Internal::ISequentialItem;
using WaitingRequestsQueue_Internal::ISequentialItemHandler;
using ModuleInformation = SequentialRequestsManager_Internal::ModuleInformation;

// A request that knows its key and records its deletion.
class KeyedItem : public ISequentialItem {
public:
    KeyedItem(u64 key, std::vector<u64>* deleted) : m_key(key), m_deleted(deleted) {}
    ~KeyedItem() override {
        if (m_deleted) m_deleted->push_back(m_key);
    }
    u64 m_key;
    std::vector<u64>* m_deleted;
};

KeyedItem* newItem(u64 key, std::vector<u64>* deleted = nullptr) {
    return trackedNew<KeyedItem>("KeyedItem", __FILE__, __LINE__, key, deleted);
}

void pushRequest(ModuleInformation& mmi, u64 key, std::vector<u64>* deleted = nullptr) {
    mmi.m_waitingRequestsQueue.emplace_back(newItem(key, deleted), key);
}

std::vector<u64> keysOf(const WaitingRequestsQueue& queue) {
    std::vector<u64> keys;
    for (const SequentialRequest& request : queue) keys.push_back(request.getKey());
    return keys;
}

std::map<u64, ModuleInformation*> waitingOf(const SequentialRequestsManager& manager) {
    return {manager.waitingModules().begin(), manager.waitingModules().end()};
}

// Answers each request by its key (a default for keys not listed) and records the keys it saw.
class ScriptHandler : public ISequentialItemHandler {
public:
    explicit ScriptHandler(unsigned fallback, std::map<u64, unsigned> answers = {})
        : m_fallback(fallback), m_answers(std::move(answers)) {}
    void handle(NextIterationData& flags, ISequentialItem* item) override {
        const u64 key = static_cast<KeyedItem*>(item)->m_key;
        seen.push_back(key);
        const auto it = m_answers.find(key);
        flags = NextIterationData(it == m_answers.end() ? m_fallback : it->second);
    }
    std::vector<u64> seen;

private:
    unsigned m_fallback;
    std::map<u64, unsigned> m_answers;
};

u64 allocatedBytes() { return MemShield::instance()->m_allocatedBytes.load(); }

// One subscribed module with one referenced request of `key`, served once by a handler answering `answer`.
void serveOneWaitingRequest(u64 key, unsigned answer) {
    SequentialRequestsManager manager("testList");
    ModuleInformation a;
    manager.subscribe(&a);
    pushRequest(a, key);
    manager.importRequestReferenceInternal(&a);
    ScriptHandler handler(answer);
    manager.iterateWaiting(handler);
}

}  // namespace

TEST(WaitingRequestsQueueTest, IterateRequestsErasesCompletedRequestsAndReturnsTheFrontKeyOnlyWhenItCompleted) {
    const struct {
        const char* what;
        std::map<u64, unsigned> answers;  // others answer 4: not complete, go on
        u64 result;
        std::vector<u64> seen;
        std::vector<u64> remaining;
    } cases[] = {
        {"only the middle completes", {{6, 5}}, 0, {5, 6, 7}, {5, 7}},
        {"the front completes", {{5, 5}}, 5, {5, 6, 7}, {6, 7}},
        {"all complete", {{5, 5}, {6, 5}, {7, 5}}, 5, {5, 6, 7}, {}},
        {"the last completes", {{7, 5}}, 0, {5, 6, 7}, {5, 6}},
        {"the two behind the front complete", {{6, 5}, {7, 5}}, 0, {5, 6, 7}, {5}},
        {"still-waiting means nothing here", {{5, 7}, {6, 6}}, 5, {5, 6, 7}, {6, 7}},
        {"a stop after the completed front", {{5, 5}, {6, 0}}, 5, {5, 6}, {6, 7}},
        {"a stop at the front", {{5, 0}}, 0, {5}, {5, 6, 7}},
    };
    for (const auto& c : cases) {
        waitForServiceThreads();
        const u64 baseline = allocatedBytes();
        std::vector<u64> deleted;
        std::vector<u64> expectedDeleted;
        {
            ModuleInformation mmi;
            for (u64 key : {5, 6, 7}) pushRequest(mmi, key, &deleted);
            ScriptHandler handler(4, c.answers);
            EXPECT_EQ(mmi.m_waitingRequestsQueue.iterateRequests(handler), c.result) << c.what;
            EXPECT_EQ(handler.seen, c.seen) << c.what;
            EXPECT_EQ(keysOf(mmi.m_waitingRequestsQueue), c.remaining) << c.what;
            for (u64 key : {5, 6, 7}) {
                if (std::find(c.remaining.begin(), c.remaining.end(), key) == c.remaining.end()) {
                    expectedDeleted.push_back(key);
                }
            }
            EXPECT_EQ(deleted, expectedDeleted) << c.what << ": completed requests are deleted at once";
        }
        // The queue deleted the rest when it went: every item was freed with the tracked delete.
        EXPECT_EQ(deleted.size(), 3u) << c.what;
        EXPECT_EQ(allocatedBytes(), baseline) << c.what;
    }
}

TEST(WaitingRequestsQueueTest, PopRequestDeletesTheFrontItem) {
    waitForServiceThreads();
    const u64 baseline = allocatedBytes();
    std::vector<u64> deleted;
    {
        WaitingRequestsQueue queue;
        queue.emplace_back(newItem(3, &deleted), 3);
        queue.emplace_back(newItem(8, &deleted), 8);
        queue.popRequest();
        EXPECT_EQ(keysOf(queue), std::vector<u64>{8});
        EXPECT_EQ(deleted, std::vector<u64>{3});
        const u64 oneLeft = allocatedBytes();
        EXPECT_GT(oneLeft, baseline);
        queue.popRequest();
        EXPECT_TRUE(queue.empty());
    }
    EXPECT_EQ(deleted, (std::vector<u64>{3, 8}));
    EXPECT_EQ(allocatedBytes(), baseline);
}

TEST(SequentialRequestsManagerTest, IterateWaitingServesTheOldestRequestOfAllModules) {
    const struct {
        const char* what;
        std::map<u64, unsigned> answers;  // others answer 7: complete, still waiting, go on
        std::vector<u64> seen;
        std::vector<u64> leftA, leftB;
        bool flagA, flagB;
        std::vector<u64> waitingKeys;  // the references left, in key order
    } cases[] = {
        {"all complete", {}, {1, 2, 4}, {}, {}, false, false, {}},
        {"A's front is passed over", {{1, 4}}, {1, 2}, {1, 4}, {}, false, false, {}},
        {"A's second request is passed over", {{4, 4}}, {1, 2, 4}, {4}, {}, false, false, {}},
        {"a stop at B", {{2, 0}}, {1, 2}, {4}, {2}, true, true, {2, 4}},
        {"a stop at once", {{1, 0}}, {1}, {1, 4}, {2}, true, true, {1, 2}},
    };
    for (const auto& c : cases) {
        waitForServiceThreads();
        const u64 baseline = allocatedBytes();
        {
            SequentialRequestsManager manager("testList");
            ModuleInformation a, b;
            manager.subscribe(&a);
            manager.subscribe(&b);
            pushRequest(a, 1);
            pushRequest(b, 2);
            pushRequest(a, 4);
            manager.importRequestReferenceInternal(&a);
            manager.importRequestReferenceInternal(&b);
            ASSERT_EQ(waitingOf(manager), (std::map<u64, ModuleInformation*>{{1, &a}, {2, &b}}));

            ScriptHandler handler(7, c.answers);
            manager.iterateWaiting(handler);
            EXPECT_EQ(handler.seen, c.seen) << c.what;
            EXPECT_EQ(keysOf(a.m_waitingRequestsQueue), c.leftA) << c.what;
            EXPECT_EQ(keysOf(b.m_waitingRequestsQueue), c.leftB) << c.what;
            EXPECT_EQ(a.getIsRequestInWaitingModules(), c.flagA) << c.what;
            EXPECT_EQ(b.getIsRequestInWaitingModules(), c.flagB) << c.what;
            std::vector<u64> waitingKeys;
            for (const auto& entry : manager.waitingModules()) {
                waitingKeys.push_back(entry.first);
                // A reference is always keyed by its module's front request.
                EXPECT_EQ(entry.second->m_waitingRequestsQueue.front().getKey(), entry.first) << c.what;
            }
            EXPECT_EQ(waitingKeys, c.waitingKeys) << c.what;
        }
        EXPECT_EQ(allocatedBytes(), baseline) << c.what;
    }
}

TEST(SequentialRequestsManagerTest, APassedOverModuleReentersAtItsFrontKeyWhenImported) {
    SequentialRequestsManager manager("testList");
    ModuleInformation a, b;
    manager.subscribe(&a);
    manager.subscribe(&b);
    pushRequest(a, 1);
    pushRequest(b, 2);
    pushRequest(a, 4);
    manager.importRequestReferenceInternal(&a);
    manager.importRequestReferenceInternal(&b);

    ScriptHandler passOverA(0, {{1, 4}});  // then stop at B
    manager.iterateWaiting(passOverA);
    EXPECT_EQ(passOverA.seen, (std::vector<u64>{1, 2}));
    EXPECT_FALSE(a.getIsRequestInWaitingModules());
    EXPECT_EQ(keysOf(a.m_waitingRequestsQueue), (std::vector<u64>{1, 4}));
    EXPECT_EQ(waitingOf(manager), (std::map<u64, ModuleInformation*>{{2, &b}}));

    manager.importRequestReferenceInternal(&a);
    EXPECT_TRUE(a.getIsRequestInWaitingModules());
    EXPECT_EQ(waitingOf(manager), (std::map<u64, ModuleInformation*>{{1, &a}, {2, &b}}));
    ScriptHandler all(7);
    manager.iterateWaiting(all);
    EXPECT_EQ(all.seen, (std::vector<u64>{1, 2, 4}));
    EXPECT_TRUE(manager.waitingModules().empty());
}

TEST(SequentialRequestsManagerTest, ImportingAModuleWithoutRequestsGivesItNoReference) {
    SequentialRequestsManager manager("testList");
    ModuleInformation a;
    manager.subscribe(&a);
    manager.importRequestReferenceInternal(&a);
    EXPECT_FALSE(a.getIsRequestInWaitingModules());
    EXPECT_TRUE(manager.waitingModules().empty());
    // Still importable once it has a request.
    pushRequest(a, 3);
    manager.importRequestReferenceInternal(&a);
    EXPECT_TRUE(a.getIsRequestInWaitingModules());
    EXPECT_EQ(waitingOf(manager), (std::map<u64, ModuleInformation*>{{3, &a}}));
}

TEST(SequentialRequestsManagerTest, QueuedRequestsGetRisingNonZeroKeysAcrossModules) {
    SequentialRequestsManager manager("testList");
    SequentialRequestsManager other("otherList");
    ModuleInformation a, b, c;
    manager.subscribe(&a);
    manager.subscribe(&b);
    other.subscribe(&c);
    EXPECT_EQ(manager.queueRequest(&a, newItem(0)), 1u);
    EXPECT_EQ(manager.queueRequest(&b, newItem(0)), 2u);
    EXPECT_EQ(other.queueRequest(&c, newItem(0)), 1u);  // one counter per manager
    EXPECT_EQ(manager.queueRequest(&a, newItem(0)), 3u);
    EXPECT_EQ(keysOf(a.m_waitingRequestsQueue), (std::vector<u64>{1, 3}));
    EXPECT_EQ(keysOf(b.m_waitingRequestsQueue), (std::vector<u64>{2}));
    // Queuing does not place the module in the waiting order: its owner does.
    EXPECT_TRUE(manager.waitingModules().empty());
    manager.importRequestReferenceInternal(&a);
    manager.importRequestReferenceInternal(&b);
    EXPECT_EQ(waitingOf(manager), (std::map<u64, ModuleInformation*>{{1, &a}, {2, &b}}));
}

TEST(SequentialRequestsManagerTest, IterateAllMovesTheReferenceOnlyWhenTheFrontCompletes) {
    const struct {
        const char* what;
        bool imported;
        std::map<u64, unsigned> answers;  // others answer 4
        std::vector<u64> left;
        std::map<u64, bool> waiting;  // key -> is it A's reference
    } cases[] = {
        {"front completes", true, {{1, 5}}, {4, 6}, {{4, true}, {2, false}}},
        {"front and next complete", true, {{1, 5}, {4, 5}}, {6}, {{6, true}, {2, false}}},
        {"all complete", true, {{1, 5}, {4, 5}, {6, 5}}, {}, {{2, false}}},
        {"a later one completes", true, {{4, 5}}, {1, 6}, {{1, true}, {2, false}}},
        {"nothing completes", true, {}, {1, 4, 6}, {{1, true}, {2, false}}},
        {"front completes, no reference", false, {{1, 5}}, {4, 6}, {{2, false}}},
        {"all complete, no reference", false, {{1, 5}, {4, 5}, {6, 5}}, {}, {{2, false}}},
    };
    for (const auto& c : cases) {
        SequentialRequestsManager manager("testList");
        ModuleInformation a, b;
        manager.subscribe(&a);
        manager.subscribe(&b);
        pushRequest(a, 1);
        pushRequest(b, 2);
        pushRequest(a, 4);
        pushRequest(a, 6);
        if (c.imported) manager.importRequestReferenceInternal(&a);
        manager.importRequestReferenceInternal(&b);

        ScriptHandler handler(4, c.answers);
        manager.iterateAll(&a, handler);
        EXPECT_EQ(handler.seen, (std::vector<u64>{1, 4, 6})) << c.what;
        EXPECT_EQ(keysOf(a.m_waitingRequestsQueue), c.left) << c.what;
        std::map<u64, bool> waiting;
        for (const auto& entry : manager.waitingModules()) waiting[entry.first] = entry.second == &a;
        EXPECT_EQ(waiting, c.waiting) << c.what;
        EXPECT_EQ(a.getIsRequestInWaitingModules(), c.waiting.size() == 2) << c.what;
        EXPECT_EQ(keysOf(b.m_waitingRequestsQueue), std::vector<u64>{2}) << c.what;
    }
}

TEST(SequentialRequestsManagerTest, IterateAllModulesWalksEverySubscribedModule) {
    SequentialRequestsManager manager("testList");
    ModuleInformation a, b, idle;
    manager.subscribe(&a);
    manager.subscribe(&b);
    manager.subscribe(&idle);
    pushRequest(a, 1);
    pushRequest(b, 2);
    pushRequest(a, 3);
    pushRequest(b, 4);
    manager.importRequestReferenceInternal(&a);
    manager.importRequestReferenceInternal(&b);
    // Completes the fronts 1 and 2 only: each module moves to its next request.
    ScriptHandler handler(4, {{1, 5}, {2, 5}});
    manager.iterateAllModules(handler);
    std::vector<u64> seen = handler.seen;
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<u64>{1, 2, 3, 4}));
    EXPECT_EQ(waitingOf(manager), (std::map<u64, ModuleInformation*>{{3, &a}, {4, &b}}));
    EXPECT_FALSE(idle.getIsRequestInWaitingModules());
}

TEST(ModuleMemoryInformationTest, UsedBytesAreChargedUpTheParentChain) {
    const struct {
        const char* what;
        int charged;  // 0 the child, 1 its parent, 2 the root
        bool add;
        u64 child, parent, root;
    } cases[] = {
        {"add on the child", 0, true, 100 + 4096, 1000 + 4096, 10000 + 4096},
        {"sub on the child", 0, false, 100 - 4096 + 8192, 1000 - 4096 + 8192, 10000 - 4096 + 8192},
        {"add on the parent", 1, true, 100, 1000 + 4096, 10000 + 4096},
        {"add on the root", 2, true, 100, 1000, 10000 + 4096},
        {"sub on the root", 2, false, 100, 1000, 10000 - 4096},
    };
    for (const auto& c : cases) {
        ModuleMemoryInformation child, parent, root;
        child.setParent(&parent);
        parent.setParent(&root);
        child.m_currentlyUsedBytes = 100;
        parent.m_currentlyUsedBytes = 1000;
        root.m_currentlyUsedBytes = 10000;
        if (!c.add && c.charged == 0) ModuleMemoryInformation::addUsedBytes(&child, 8192);
        ModuleMemoryInformation* records[] = {&child, &parent, &root};
        if (c.add) {
            ModuleMemoryInformation::addUsedBytes(records[c.charged], 4096);
        } else {
            ModuleMemoryInformation::subUsedBytes(records[c.charged], 4096);
        }
        EXPECT_EQ(child.getCurrentlyUsedBytes(), c.child) << c.what;
        EXPECT_EQ(parent.getCurrentlyUsedBytes(), c.parent) << c.what;
        EXPECT_EQ(root.getCurrentlyUsedBytes(), c.root) << c.what;
    }
}

// Every broken invariant of the serving side stops the process with a check that names it.
TEST(SequentialRequestsDeathTest, BrokenInvariantsEndTheProcess) {
    const struct {
        const char* what;
        void (*run)();
        const char* text;
    } cases[] = {
        {"import while referenced",
         [] {
             SequentialRequestsManager manager("testList");
             ModuleInformation a;
             manager.subscribe(&a);
             pushRequest(a, 1);
             manager.importRequestReferenceInternal(&a);
             manager.importRequestReferenceInternal(&a);
         },
         ": mmi->getIsRequestInWaitingModules() == false failed. trying to import request ref for mmi that already "
         "has request ref in waiting modules\n"},
        {"import unsubscribed",
         [] {
             SequentialRequestsManager manager("testList");
             ModuleInformation a;
             pushRequest(a, 1);
             manager.importRequestReferenceInternal(&a);
         },
         ": itWaitingModule != m_modulesInfo.end() failed. unsubscribed mmi\n"},
        {"iterateAll unknown",
         [] {
             SequentialRequestsManager manager("testList");
             ModuleInformation a;
             ScriptHandler handler(5);
             manager.iterateAll(&a, handler);
         },
         ": it != m_modulesInfo.end() failed. mmi doesn't exist in WaitingRequests container\n"},
        {"queue stops with completed",
         [] {
             ModuleInformation a;
             pushRequest(a, 1);
             ScriptHandler handler(1);
             a.m_waitingRequestsQueue.iterateRequests(handler);
         },
         ": postIterationFlags.count() == 0 failed. wrong postIterationFlags info postIterationFlags=001 \n"},
        {"queue stops with still waiting",
         [] {
             ModuleInformation a;
             pushRequest(a, 1);
             pushRequest(a, 2);
             ScriptHandler handler(4, {{2, 2}});
             a.m_waitingRequestsQueue.iterateRequests(handler);
         },
         ": postIterationFlags.count() == 0 failed. wrong postIterationFlags info postIterationFlags=010 \n"},
        {"pop from empty",
         [] {
             WaitingRequestsQueue queue;
             queue.popRequest();
         },
         ": !empty() failed. trying to remove request from an empty waiting list\n"},
        {"waiting walk stops with a flag",
         [] { serveOneWaitingRequest(1, 3); },
         ": postIterationFlags.count()==0 failed. wrong postIterationFlags info postIterationFlags=011 \n"},
        {"still waiting without completed",
         [] { serveOneWaitingRequest(1, 6); },
         ": false failed. wrong flags data  postIterationFlags[NextIterationData::COMPLETED_REQUEST]=0  "
         "postIterationFlags[NextIterationData::MMI_STILL_WAITING]=1 \n"},
        {"completed without still waiting",
         [] { serveOneWaitingRequest(1, 5); },
         ": postIterationFlags[NextIterationData::COMPLETED_REQUEST] == false failed. removing completed request "
         "without importing a new request reference is not supported\n"},
        {"front not the referenced key",
         [] {
             SequentialRequestsManager manager("testList");
             ModuleInformation a;
             manager.subscribe(&a);
             pushRequest(a, 4);
             manager.importRequestReferenceInternal(&a);
             a.m_waitingRequestsQueue.emplace_front(newItem(3), 3);
             ScriptHandler handler(7);
             manager.iterateWaiting(handler);
         },
         ": sequentialRequest.getKey() == key failed. out of order- current request in WaitingModules  is not the "
         "same as the request in waitingRequestsQueue front key=4  sequentialRequest.getKey()=3 \n"},
        {"reference removed for another module",
         [] {
             SequentialRequestsManager manager("testList");
             ModuleInformation a, b;
             manager.subscribe(&a);
             manager.subscribe(&b);
             pushRequest(a, 1);
             manager.importRequestReferenceInternal(&a);
             auto& waiting = const_cast<SequentialRequestsManager::WaitingModules&>(manager.waitingModules());
             manager.removeRequestReference(waiting.begin(), &b);
         },
         ": waitingModulesIter->second == mmi failed. trying to remove request reference of wrong mmi\n"},
        {"completed front that is not referenced while referenced",
         [] {
             SequentialRequestsManager manager("testList");
             ModuleInformation a;
             manager.subscribe(&a);
             pushRequest(a, 1);
             manager.importRequestReferenceInternal(&a);
             a.m_waitingRequestsQueue.emplace_front(newItem(2), 2);
             ScriptHandler handler(0, {{2, 5}});
             manager.iterateAll(&a, handler);
         },
         ": isRequestRefInWaitingModules==false failed. ambiguity related to request ref existence in "
         "WaitingModules isRequestRefInWaitingModules=1  firstRequestKey=2 \n"},
        // A second module at a key already in the order would be flagged as waiting and never served.
        {"duplicate key",
         [] {
             SequentialRequestsManager manager("testList");
             ModuleInformation a, b;
             manager.subscribe(&a);
             manager.subscribe(&b);
             pushRequest(a, 1);
             pushRequest(b, 1);
             manager.importRequestReferenceInternal(&a);
             manager.importRequestReferenceInternal(&b);
         },
         " failed. request key already in WaitingModules key=1 "},
        // A request popped behind the manager's back: the walk must not read the front of an empty queue.
        {"referenced module without requests",
         [] {
             SequentialRequestsManager manager("testList");
             ModuleInformation a;
             manager.subscribe(&a);
             pushRequest(a, 1);
             manager.importRequestReferenceInternal(&a);
             a.m_waitingRequestsQueue.popRequest();
             ScriptHandler handler(7);
             manager.iterateWaiting(handler);
         },
         ": !waitingRequestsQueue.empty() failed. module in WaitingModules has no waiting request key=1 "},
        {"queue for an unsubscribed module",
         [] {
             SequentialRequestsManager manager("testList");
             ModuleInformation a;
             manager.queueRequest(&a, newItem(0));
         },
         ": subscribed failed. queuing a request for an unsubscribed mmi"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string printed = printedByFatalStop("sequential_death_" + std::to_string(index++) + ".txt", c.run);
        EXPECT_NE(printed.find(",Assert,"), std::string::npos) << c.what << "\n" << printed;
        EXPECT_NE(printed.find(",TESK,"), std::string::npos) << c.what << "\n" << printed;
        EXPECT_NE(printed.find(c.text), std::string::npos) << c.what << "\n" << printed;
    }
}

// The memory report lists both containers under these names.
TEST(SequentialRequestsManagerTest, ContainersAreWatchedUnderTheManagersName) {
    SequentialRequestsManager manager("memoryWaitingList");
    EXPECT_EQ(static_cast<const MemWatchedContainer&>(manager.waitingModules()).m_name,
              "memoryWaitingListWaitingModulesQueue");
    EXPECT_EQ(static_cast<const MemWatchedContainer&>(manager.modulesInfo()).m_name, "WaitingModules");
}
