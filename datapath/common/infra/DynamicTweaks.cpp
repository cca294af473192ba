#include "DynamicTweaks.h"

namespace {

template <class T>
void store(std::atomic<T>& field, T value) {
    field.store(value, std::memory_order_relaxed);
}

template <class T>
T load(const std::atomic<T>& field) {
    return field.load(std::memory_order_relaxed);
}

// One reader per way of reading a cached tweak.
void readLong(Tweaks& tweaks, std::atomic<i64>& field, const char* name, i64 def) {
    store(field, tweaks.longVal(name, def));
}
void readInt(Tweaks& tweaks, std::atomic<i32>& field, const char* name, i32 def) {
    store(field, tweaks.intVal(name, def));
}
void readUint(Tweaks& tweaks, std::atomic<u32>& field, const char* name, u32 def) {
    store(field, tweaks.uintVal(name, def));
}
void readLongAsBool(Tweaks& tweaks, std::atomic<bool>& field, const char* name, bool def) {
    store(field, tweaks.longVal(name, def ? 1 : 0) != 0);
}
void readUintAsBool(Tweaks& tweaks, std::atomic<bool>& field, const char* name, bool def) {
    store(field, tweaks.uintVal(name, def ? 1u : 0u) != 0);
}
void readBool(Tweaks&, std::atomic<bool>& field, const char* name, bool def) {
    store(field, DynamicTweaks::boolVal(name, def));
}
void readDerived(Tweaks&, std::atomic<bool>&, const char*, bool) {}

}  // namespace

// Filled here, before Singleton publishes the object: no reader ever sees an unfilled snapshot.
DynamicTweaks::DynamicTweaks() { update(); }

void DynamicTweaks::update() {
    ScopedLock lock(&m_refreshLock);
    Tweaks& tweaks = *Tweaks::instance();
#define TALVO_DYNAMIC_TWEAK_READ(type, name, kind, def) read##kind(tweaks, name, #name, def);
    TALVO_DYNAMIC_TWEAKS(TALVO_DYNAMIC_TWEAK_READ)
#undef TALVO_DYNAMIC_TWEAK_READ
    computeDerived();
}

bool DynamicTweaks::boolVal(const std::string& name, TweakDefault<bool> def) {
    const TweakDefault<i64> longDefault = def.present ? TweakDefault<i64>(def.value ? 1 : 0) : TweakDefault<i64>();
    return Tweaks::instance()->longVal(name, longDefault) != 0;
}

void DynamicTweaks::computeDerived() {
    store(m_streamReaderOrIoVerbose, load(t_IOVerboseLogs) || load(t_StreamReaderVerboseLogs));
    store(m_hultPorterOrIoVerbose, load(t_IOVerboseLogs) || load(t_HultPorterVerboseLogs));
    store(m_hultBackupOrRestoreVerbose, load(t_HultBackupVerboseLogs) || load(t_HultRestoreVerboseLogs));
    store(m_batchIoOrCloudOrIoVerbose, load(t_BatchIOVerboseLogs) || load(t_IOVerboseLogs) || load(t_CloudVerboseLogs));
    store(m_httpCurlOrIoVerbose, load(t_httpCurlVerbose) || load(t_IOVerboseLogs));
}

u32 DynamicTweaks::getDefaultDlcTimeoutSec() { return load(instance()->t_defaultDlcTimeoutSec); }
