#pragma once
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <set>
#include <string>

// A long-lived container that the memory report lists by display name.
class MemWatchedContainer {
public:
    explicit MemWatchedContainer(const std::string& name, u32 itemSize = 0, u32 itemOverhead = 0)
        : m_name(name), m_itemSize(itemSize), m_itemOverhead(itemOverhead) {}
    virtual ~MemWatchedContainer() = default;
    virtual u64 size() const = 0;

    std::string m_name;
    u32 m_itemSize;
    u32 m_itemOverhead;

protected:
    MemWatchedContainer(const MemWatchedContainer&) = default;
    MemWatchedContainer& operator=(const MemWatchedContainer&) = default;
};

class MemWatchedContainerDatabase : public Singleton<MemWatchedContainerDatabase> {
public:
    void registerContainer(MemWatchedContainer* container);
    void unregisterContainer(MemWatchedContainer* container);
    void printWatchedContainers();

private:
    Mutex m_lock;
    std::set<MemWatchedContainer*> m_containers;
};

// A standard container registered under a display name for its whole life. Registration happens at the end of
// construction and ends at the start of destruction, so a concurrent report never sees a half-built object.
// A copy is a container of its own: it registers itself under the same name.
template <class T>
class StlMemShiledContainer : public T, public MemWatchedContainer {
public:
    explicit StlMemShiledContainer(const std::string& name) : T(), MemWatchedContainer(name) { enroll(); }
    StlMemShiledContainer(const StlMemShiledContainer& other) : T(other), MemWatchedContainer(other) { enroll(); }
    StlMemShiledContainer(StlMemShiledContainer&& other) : T(std::move(other)), MemWatchedContainer(other) {
        enroll();
    }
    StlMemShiledContainer& operator=(const StlMemShiledContainer& other) {
        T::operator=(other);
        return *this;
    }
    StlMemShiledContainer& operator=(StlMemShiledContainer&& other) {
        T::operator=(std::move(other));
        return *this;
    }
    ~StlMemShiledContainer() override {
        MemWatchedContainerDatabase::instance()->unregisterContainer(static_cast<MemWatchedContainer*>(this));
    }
    u64 size() const override { return T::size(); }

private:
    void enroll() { MemWatchedContainerDatabase::instance()->registerContainer(static_cast<MemWatchedContainer*>(this)); }
};
