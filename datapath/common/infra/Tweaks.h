#pragma once
#include "CountedWatchedContainer.h"
#include "Mutex.h"
#include "Singleton.h"
#include "Types.h"

#include <istream>
#include <map>
#include <set>
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

// Byte order after folding "A" to "Z" to lower case; a proper prefix sorts first.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

// A copy of `text` without leading and trailing blanks, tabs, carriage returns and line feeds.
std::string trim(const std::string& text);

// Process-wide registry of tunable settings, keyed by name without regard to case. It loads the tweak files of
// the working directory while it is built; from then on settings change only one at a time, and every change
// refreshes the dynamic-tweaks cache.
class Tweaks : public Singleton<Tweaks> {
public:
    class Tweak {
    public:
        // A quoted text, a bool word (quoted or not) or a decimal or "0x" hexadecimal number; anything else ends
        // the process.
        explicit Tweak(const std::string& valueText);
        // The number; a text ends the process.
        i64 longVal() const;
        // A number in decimal, a text in double quotes.
        std::string toString() const;
        // True, with m_value set to 1 or 0, when `text` is one of the bool words.
        bool parseBool(const std::string& text);

        std::string m_text;
        i64 m_value = 0;
        bool m_isNumber = false;
    };

    // One line of a tweak input.
    struct TweakLine {
        std::string name;
        std::string value;
        std::string comment;
    };

    Tweaks();

    // Adds the tweak unless the name is set already (the existing value stays); true when it added it.
    bool setDefaultValIfNotSet(const std::string& name, const std::string& value);
    // Sets, replaces or (with an empty value) removes one tweak; returns the previous value's text or "".
    std::string update(const std::string& name, const std::string& value);
    // The getters end the process for an absent tweak without a default, a text, or a value out of range.
    i64 longVal(const std::string& name, TweakDefault<i64> def = TweakDefault<i64>());
    i32 intVal(const std::string& name, TweakDefault<i32> def = TweakDefault<i32>());
    u32 uintVal(const std::string& name, TweakDefault<u32> def = TweakDefault<u32>());
    // Logs every tweak, in key order.
    void print();
    // Logs the name of every tweak a getter has been asked for so far, in key order: what a run depends on, set or
    // not.
    void printRead();

    // The folder of the versioned file, "tesk_tweaks" followed by two separators.
    static std::string getTweaksDir();
    // The upgrade-surviving file inside the folder "test_appdata".
    static std::string getUpgradeSurvivingTweaksPath();
    // The folder's name and the file's name run together: a file of the working directory itself.
    static std::string getUpgradeSurvivingTweaksPathWithoutSeparator();

    // Tweak inputs. They are applied only while the registry is built; later, applying one ends the process.
    // A strict input also ends the process on a line without "=" or a name given twice.
    bool updateFromFile(const std::string& path);
    void updateFromStream(std::istream& in, bool strict);
    void update(std::istream& in, std::vector<TweakLine>& lines, bool strict);
    static std::vector<TweakLine> getTweaksFromStream(std::istream& in, bool strict);

private:
    void loadFromFiles();
    void updateDynamicTweaks();

    CountedWatchedContainer<std::map<std::string, Tweak, CaseInsensitiveLess>> m_tweaks;
    // The names the getters were asked for, each in the spelling of its first read.
    CountedWatchedContainer<std::set<std::string, CaseInsensitiveLess>> m_read;
    Mutex m_lock;
    bool m_isInitialized = false;
};
