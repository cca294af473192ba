// Interim registry: defaults and single updates only; the tweak files come next.
#include "Tweaks.h"

#include "DynamicTweaks.h"
#include "Logger.h"

#include <cctype>
#include <sstream>

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(a[i])));
        const unsigned char y = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(b[i])));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

Tweaks::Tweak::Tweak(const std::string& val) {
    if (!val.empty() && val[0] == '"') {
        m_text = val.substr(1, val.size() - 2);
        return;
    }
    std::istringstream in(val);
    m_isNumber = static_cast<bool>(in >> m_value);
}

i64 Tweaks::Tweak::longVal() const {
    ASSERT(m_isNumber);
    return m_value;
}

std::string Tweaks::Tweak::toString() const { return m_isNumber ? std::to_string(m_value) : "\"" + m_text + "\""; }

Tweaks::Tweaks() : m_tweaks("Tweaks") { m_isInitialized = true; }

bool Tweaks::setDefaultValIfNotSet(const std::string& name, const std::string& value) {
    {
        ScopedLock lock(&m_lock);
        if (m_tweaks.count(name)) return false;
        m_tweaks.insert_or_assign(name, Tweak(value));
    }
    updateDynamicTweaks();
    return true;
}

std::string Tweaks::update(const std::string& name, const std::string& value) {
    std::string result;
    {
        ScopedLock lock(&m_lock);
        auto it = m_tweaks.find(name);
        if (it != m_tweaks.end()) {
            result = it->second.toString();
            m_tweaks.erase(it);
        }
        if (!value.empty()) m_tweaks.insert_or_assign(name, Tweak(value));
    }
    updateDynamicTweaks();
    return result;
}

i64 Tweaks::longVal(const std::string& name, TweakDefault<i64> def) {
    ScopedLock lock(&m_lock);
    auto it = m_tweaks.find(name);
    if (it != m_tweaks.end()) return it->second.longVal();
    ASSERT(def.present);
    return def.value;
}

i32 Tweaks::intVal(const std::string& name, TweakDefault<i32> def) {
    return static_cast<i32>(longVal(name, def.present ? TweakDefault<i64>(def.value) : TweakDefault<i64>()));
}

u32 Tweaks::uintVal(const std::string& name, TweakDefault<u32> def) {
    return static_cast<u32>(longVal(name, def.present ? TweakDefault<i64>(def.value) : TweakDefault<i64>()));
}

void Tweaks::print() {}

void Tweaks::updateDynamicTweaks() {
    if (m_isInitialized) DynamicTweaks::instance()->update();
}
