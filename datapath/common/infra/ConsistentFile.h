#pragma once
#include "Mutex.h"
#include "RcStatus.h"
#include "Types.h"

#include <iostream>
#include <string>
#include <vector>

// A crash-safe, versioned text file kept in two slots. Slot i is the data file path.i and its signature file
// path.i.sig (the data's version, then its CRC-32, one decimal number a line). A reader takes the slot with the
// highest version whose data matches its signature, so an interrupted write never hides the last good copy.
class ConsistentFile {
public:
    explicit ConsistentFile(const std::string& path);

    // 0 with `latest` the newest valid slot; RC_ERROR when files exist but no slot is valid;
    // kConsistentFileMissing when no file of any slot exists.
    RcStatus findLatestValidFileIndex(int& latest);
    // Copies the newest valid version into `out`, one line and std::endl at a time. 0 also when no file exists
    // (`out` untouched); 1 when no slot is valid.
    int load(std::iostream& out);

    // The version a writer gives its next copy: one past the newest valid version found, 1 before any.
    u64 nextVersion() const { return m_nextVersion; }
    // The slot a writer would use next: the one after the newest valid slot, 0 before any.
    i32 nextIndex() const { return m_nextIndex; }

    std::string getDataFileName(u32 index) const;
    std::string getSignatureFileName(u32 index) const;

private:
    // The search; when `latestLines` is given it receives the lines of the slot chosen, as they were checked.
    RcStatus findLatestValidFileIndex(int& latest, std::vector<std::string>* latestLines);

    i32 m_slots;
    std::string m_path;
    i32 m_nextIndex;
    u64 m_nextVersion;
    Mutex m_mutex;
};

// Status of findLatestValidFileIndex when no file of any slot exists.
constexpr RcStatus kConsistentFileMissing = static_cast<RcStatus>(5);
