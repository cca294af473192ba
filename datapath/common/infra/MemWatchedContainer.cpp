#include "MemWatchedContainer.h"

#include "Logger.h"

#include <map>

// The checks run after the lock is released: the failure line may be the first use of the Logger, whose
// construction registers containers of its own.
void MemWatchedContainerDatabase::registerContainer(MemWatchedContainer* container) {
    bool rt;
    {
        ScopedLock lock(&m_lock);
        rt = m_containers.insert(container).second;
    }
    ASSERT(rt);
}

void MemWatchedContainerDatabase::unregisterContainer(MemWatchedContainer* container) {
    bool found;
    {
        ScopedLock lock(&m_lock);
        auto iter = m_containers.find(container);
        found = iter != m_containers.end();
        if (found) m_containers.erase(iter);
    }
    ASSERT_TEXT(found, "iter != m_containers.end()");
}

void MemWatchedContainerDatabase::printWatchedContainers() {
    struct Group {
        u64 items = 0;
        u64 memory = 0;
        u64 max = 0;
    };
    std::map<std::string, Group> groups;
    u64 total = 0;
    size_t count = 0;
    {
        ScopedLock lock(&m_lock);
        count = m_containers.size();
        for (MemWatchedContainer* c : m_containers) {
            const u64 items = c->size();
            const u64 memory = static_cast<u64>(static_cast<u32>(c->m_itemSize + c->m_itemOverhead)) * items;
            total += memory;
            Group& g = groups[c->m_name];
            g.items += items;
            g.memory += memory;
            if (memory > g.max) g.max = memory;
        }
    }
    for (const auto& [name, g] : groups) {
        if (g.max > 0) {
            LOG_D(Info, 0) << "ContainerName = " << name << " items = " << g.items << " memory = " << g.memory
                           << " (max = " << g.max << ")" << std::endl;
        } else {
            LOG_D(Info, 0) << "ContainerName = " << name << " items = " << g.items << std::endl;
        }
    }
    LOG_D(Info, 0) << " estimatedTotal=" << total << " " << "in " << count << " containers" << std::endl;
}
