#pragma once
#include "MemWatchedContainer.h"
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <istream>
#include <map>
#include <string>
#include <vector>

// The optional default of a tweak getter.
template <class T>
struct TweakDefault {
    TweakDefault() : present(false), value() {}
    TweakDefault(T v) : present(true), value(v) {}  // implicit: a getter's default is written as a plain value
    bool present;
    T value;
};

struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// Process-wide registry of tunable settings, loaded from the tweak files of the working directory.
class Tweaks : public Singleton<Tweaks> {
public:
    class Tweak {
    public:
        explicit Tweak(const std::string& valueText);
        i64 longVal() const;
        std::string toString() const;

        std::string m_text;
        i64 m_value = 0;
        bool m_isNumber = false;
    };

    Tweaks();

    bool setDefaultValIfNotSet(const std::string& name, const std::string& value);
    std::string update(const std::string& name, const std::string& value);
    i64 longVal(const std::string& name, TweakDefault<i64> def = TweakDefault<i64>());
    i32 intVal(const std::string& name, TweakDefault<i32> def = TweakDefault<i32>());
    u32 uintVal(const std::string& name, TweakDefault<u32> def = TweakDefault<u32>());
    void print();

private:
    void updateDynamicTweaks();

    StlMemShiledContainer<std::map<std::string, Tweak, CaseInsensitiveLess>> m_tweaks;
    Mutex m_lock;
    bool m_isInitialized = false;
};
