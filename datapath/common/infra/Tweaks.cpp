#include "Tweaks.h"

#include "ConsistentFile.h"
#include "Directories.h"
#include "DynamicTweaks.h"
#include "Logger.h"
#include "NativePath.h"
#include "VisibleLineEnds.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <unordered_map>

namespace {

const char* const kAppDataDir = "test_appdata\\";
const char* const kExtensionFile = "tweaks_extension.txt";
const char* const kUpgradeSurvivingFile = "tweaks_extension_upgrade_surviving.txt";

// A tweak line holds at most this many characters before its line feed.
constexpr std::streamsize kLineBufferSize = 512;

const char* const kTrueWords[] = {"true", "yes", "on", "enabled", "ok"};
const char* const kFalseWords[] = {"false", "no", "off", "disabled"};

// The C locale's lower-case mapping, whatever locale the process runs in.
unsigned char fold(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

bool equalsIgnoringCase(const std::string& text, const char* word) {
    size_t i = 0;
    for (; i < text.size() && word[i] != '\0'; ++i) {
        if (fold(text[i]) != fold(word[i])) return false;
    }
    return i == text.size() && word[i] == '\0';
}

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = fold(a[i]);
        const unsigned char y = fold(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

std::string trim(const std::string& text) {
    static const char* const kBlanks = " \t\r\n";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

Tweaks::Tweak::Tweak(const std::string& val) {
    if (!val.empty() && val[0] == '"') {
        ASSERT_TEXT(val.length() > 1 && (val[val.length() - 1] == '"'),
                    "val.length() > 1 && (val[val.length() -1] == '\"')");
        const std::string inner = val.substr(1, val.length() - 2);
        if (parseBool(inner)) {
            m_isNumber = true;
        } else {
            m_text = inner;
        }
        return;
    }
    if (parseBool(val)) {
        m_isNumber = true;
        return;
    }
    std::istringstream in;
    if (val.size() >= 2 && val[0] == '0' && (val[1] == 'x' || val[1] == 'X')) {
        in.str(val.substr(2));
        in >> std::hex;
    } else {
        in.str(val);
    }
    i64 number = 0;
    in >> number;
    if (in.fail()) ASSERT(false);
    m_value = number;
    m_isNumber = true;
}

bool Tweaks::Tweak::parseBool(const std::string& text) {
    for (const char* word : kTrueWords) {
        if (equalsIgnoringCase(text, word)) {
            m_value = 1;
            return true;
        }
    }
    for (const char* word : kFalseWords) {
        if (equalsIgnoringCase(text, word)) {
            m_value = 0;
            return true;
        }
    }
    return false;
}

i64 Tweaks::Tweak::longVal() const {
    if (!m_isNumber) {
        LOG(Error) << "value is not int" << std::endl;
        ASSERT(false);
    }
    return m_value;
}

std::string Tweaks::Tweak::toString() const { return m_isNumber ? std::to_string(m_value) : "\"" + m_text + "\""; }

std::string Tweaks::getTweaksDir() { return std::string("tesk_tweaks\\") + "\\"; }

std::string Tweaks::getUpgradeSurvivingTweaksPath() { return std::string(kAppDataDir) + kUpgradeSurvivingFile; }

std::string Tweaks::getUpgradeSurvivingTweaksPathWithoutSeparator() {
    std::string path = kAppDataDir;
    path.pop_back();
    return path + kUpgradeSurvivingFile;
}

// Runs inside the first Singleton<Tweaks>::instance(), under its lock: nothing here may ask for the registry or the
// dynamic-tweaks cache, and nothing may go through the tracked allocator, which reads tweaks.
Tweaks::Tweaks() : m_tweaks("Tweaks"), m_read("Tweaks read") {
    Directories::ensureExists(kAppDataDir);
    loadFromFiles();
    m_isInitialized = true;
}

void Tweaks::loadFromFiles() {
    {
        ConsistentFile file(getTweaksDir() + "tweaks.txt");
        std::stringstream stream;
        if (file.load(stream) != 0) {
            ASSERT_MSG(Assert, false, "Could not load consistent tweak information");
        } else {
            updateFromStream(stream, true);
        }
    }
    if (!updateFromFile(kExtensionFile)) {
        LOG(Info) << "local tweaks file \"" << kExtensionFile << "\" not found" << std::endl;
    }
    for (const std::string& path : {getUpgradeSurvivingTweaksPathWithoutSeparator(), getUpgradeSurvivingTweaksPath()}) {
        if (!updateFromFile(path)) {
            LOG(Info) << "local upgrade-surviving tweaks file \"" << path << "\" not found" << std::endl;
        }
    }
}

bool Tweaks::updateFromFile(const std::string& path) {
    // Binary: a carriage return stays part of its line on every platform (it counts towards the line's length,
    // and trim removes it).
    std::ifstream in;
    openInput(in, path, std::ios::in | std::ios::binary);
    if (in.fail()) {
        LOG(Error) << "Failed to open " << path << "while trying to update tweaks from it" << std::endl;
        return false;
    }
    updateFromStream(in, false);
    return true;
}

void Tweaks::updateFromStream(std::istream& in, bool strict) {
    std::vector<TweakLine> lines;
    update(in, lines, strict);
}

std::vector<Tweaks::TweakLine> Tweaks::getTweaksFromStream(std::istream& in, bool strict) {
    std::vector<TweakLine> lines;
    char buffer[kLineBufferSize];
    // A line too long for the buffer fails the read, which ends this input without a message.
    while (in.getline(buffer, kLineBufferSize)) {
        const std::string text(buffer);
        const size_t semicolon = text.find(';');
        const std::string comment = semicolon == std::string::npos ? std::string() : trim(text.substr(semicolon + 1));
        const std::string content = trim(text.substr(0, semicolon));
        if (content.empty()) continue;
        const size_t equals = content.find('=');
        if (equals == std::string::npos) {
            if (strict) ASSERT(false);
            continue;
        }
        lines.push_back(TweakLine{trim(content.substr(0, equals)), trim(content.substr(equals + 1)), comment});
    }
    return lines;
}

void Tweaks::update(std::istream& in, std::vector<TweakLine>& lines, bool strict) {
    if (m_isInitialized) {
        ASSERT_MSG_TEXT(Assert, false, "isPeriodicUpdate || !m_isInitialized",
                        "Trying to update non-periodically after initialization");
        return;
    }
    lines = getTweaksFromStream(in, strict);
    // Each name counted once: a count per line over the whole list would make a large file quadratic.
    std::unordered_map<std::string, size_t> counts;
    counts.reserve(lines.size());
    for (const TweakLine& line : lines) ++counts[line.name];
    for (TweakLine& line : lines) {
        if (counts[line.name] == 1) {
            update(line.name, line.value);
            continue;
        }
        // Neither definition wins: the input has to say which one it means.
        std::cout << "multiple definition for tweak \"" << line.name << "\"" << std::endl;
        LOG(Error) << "multiple definition for tweak \"" << visibleLineEnds(line.name) << "\"" << std::endl;
        line.comment = "Multiple definitions of this tweak, pick one.";
        ASSERT(!strict);
    }
}

std::string Tweaks::update(const std::string& name, const std::string& value) {
    std::string result;
    {
        ScopedLock lock(&m_lock);
        auto it = m_tweaks.find(name);
        if (it != m_tweaks.end()) {
            result = it->second.toString();
            m_tweaks.erase(it);  // erased and inserted anew: the key takes the spelling of this update
        }
        LOG(Info) << "Updating tweak: " << " name=" << visibleLineEnds(name) << " " << " val=" << visibleLineEnds(value)
                  << " " << " ret=" << visibleLineEnds(result) << " " << std::endl;
        if (!value.empty()) m_tweaks.emplace(name, Tweak(value));
        m_tweaks.noteSize();
    }
    updateDynamicTweaks();
    return result;
}

bool Tweaks::setDefaultValIfNotSet(const std::string& name, const std::string& value) {
    {
        ScopedLock lock(&m_lock);
        if (m_tweaks.find(name) != m_tweaks.end()) return false;
        LOG(Info) << "default tweak added:  name=" << name << " " << " val=" << value << " " << " ret=" << " "
                  << std::endl;
        m_tweaks.emplace(name, Tweak(value));
        m_tweaks.noteSize();
    }
    updateDynamicTweaks();
    return true;
}

// The lookup runs under the lock, the fatal reports after it: an Error line flushes the log clients, and a client
// may read tweaks.
i64 Tweaks::longVal(const std::string& name, TweakDefault<i64> def) {
    std::optional<Tweak> found;
    {
        ScopedLock lock(&m_lock);
        auto it = m_tweaks.find(name);
        if (it != m_tweaks.end()) found = it->second;
        if (m_read.insert(name).second) m_read.noteSize();
    }
    if (found) return found->longVal();
    if (!def.present) {
        LOG(Error) << "tweak \"" << name << "\" not found" << std::endl;
        ASSERT(false);
    }
    return def.value;
}

i32 Tweaks::intVal(const std::string& name, TweakDefault<i32> def) {
    const i64 ival = longVal(name, def.present ? TweakDefault<i64>(def.value) : TweakDefault<i64>());
    ASSERT(ival <= ((u32)-1) / 2);
    // Compared directly: negating the smallest 64-bit value would overflow.
    ASSERT_TEXT(ival >= -static_cast<i64>(((u32)-1) / 2), "-1 * ival <= ((u32)-1) / 2");
    return static_cast<i32>(ival);
}

u32 Tweaks::uintVal(const std::string& name, TweakDefault<u32> def) {
    const i64 ival = longVal(name, def.present ? TweakDefault<i64>(def.value) : TweakDefault<i64>());
    ASSERT(ival >= 0);
    ASSERT(ival <= ((u32)-1));
    return static_cast<u32>(ival);
}

void Tweaks::print() {
    ScopedLock lock(&m_lock);
    if (m_tweaks.empty()) LOG(Control) << "tweaks are empty" << std::endl;
    // A name or value from a tweak file may hold a carriage return inside: shown, so it ends no log record.
    for (const auto& [name, tweak] : m_tweaks) {
        LOG(Control) << visibleLineEnds(name) << "=" << visibleLineEnds(tweak.toString()) << std::endl;
    }
}

void Tweaks::printRead() {
    ScopedLock lock(&m_lock);
    for (const std::string& name : m_read) LOG(Info) << "tweak read: " << name << std::endl;
}

// While the files are being loaded the cache is left alone: it reads the registry, which does not exist yet.
void Tweaks::updateDynamicTweaks() {
    if (m_isInitialized) DynamicTweaks::instance()->update();
}
