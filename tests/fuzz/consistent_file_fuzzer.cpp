// The consistent file's reader on two slots of arbitrary data and signature files. Whatever the files hold, a load
// copies only lines that matched a signature, and a slot whose signature the fuzzer left to the harness is found
// when it is the newest.
#include "ConsistentFile.h"
#include "FuzzSupport.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

const char* const kPath = "store";

// True when the reader takes `data` line by line unchanged: every line ends with a line feed, holds no NUL and no
// carriage return before its line feed, and is no longer than the limit.
bool readsUnchanged(const std::string& data) {
    size_t start = 0;
    while (start < data.size()) {
        const size_t end = data.find('\n', start);
        if (end == std::string::npos || end - start > 511) return false;
        const std::string line = data.substr(start, end - start);
        if (line.find('\0') != std::string::npos || (!line.empty() && line.back() == '\r')) return false;
        start = end + 1;
    }
    return true;
}

// The CRC stored on the second line of a signature, as the reader takes it: digits only, within 64 bits; false
// when the line is missing or no number, which matches no data.
bool storedCrc(const std::string& signature, u32& crc) {
    std::istringstream in(signature);
    std::string line;
    if (!std::getline(in, line) || !std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool withinLimit = line.size() <= 511;
    line.resize(std::strlen(line.c_str()));  // the text ends at its first NUL
    u64 value = 0;
    bool number = withinLimit && !line.empty();
    for (char c : line) {
        const u64 digit = static_cast<u64>(c - '0');
        if (c < '0' || c > '9' || value > (~0ull - digit) / 10) {
            number = false;
            break;
        }
        value = value * 10 + digit;
    }
    crc = number ? static_cast<u32>(value) : 0;
    return number;
}

u32 crcOf(const std::string& text) {
    const std::string signature = fuzz::signatureOf(1, text);
    u32 crc = 0;
    storedCrc(signature, crc);
    return crc;
}

struct Slot {
    bool hasData = false;
    bool hasSignature = false;
    bool signedByHarness = false;
    u64 version = 0;
    std::string data;
    std::string signature;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp("consistent-file");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider input(bytes, size);
    Slot slots[2];
    for (int i = 0; i < 2; ++i) {
        Slot& slot = slots[i];
        const u8 flags = input.ConsumeIntegral<u8>();
        slot.hasData = (flags & 1) != 0;
        slot.hasSignature = (flags & 2) != 0;
        slot.signedByHarness = (flags & 4) != 0;
        slot.version = input.ConsumeIntegralInRange<u64>(1, 3);
        slot.data = input.ConsumeRandomLengthString(4096);
        slot.signature = slot.signedByHarness ? fuzz::signatureOf(slot.version, slot.data)
                                              : input.ConsumeRandomLengthString(64);
    }
    for (int i = 0; i < 2; ++i) {
        const std::string dataName = std::string(kPath) + "." + std::to_string(i);
        if (slots[i].hasData) {
            fuzz::writeFile(dataName, slots[i].data);
        } else {
            fuzz::removeFile(dataName);
        }
        if (slots[i].hasSignature) {
            fuzz::writeFile(dataName + ".sig", slots[i].signature);
        } else {
            fuzz::removeFile(dataName + ".sig");
        }
    }

    std::stringstream out;
    int rc = -1;
    if (fuzz::endsInFatalStop([&] {
            ConsistentFile file(kPath);
            int latest = -2;
            file.findLatestValidFileIndex(latest);
            if (latest < -1 || latest > 1) std::abort();
            rc = file.load(out);
        })) {
        std::abort();  // reading never stops the process: a bad file is reported and skipped
    }
    if (rc != 0 && rc != 1) std::abort();

    // Nothing is copied that no signature vouches for.
    const std::string loaded = out.str();
    if (!loaded.empty()) {
        bool vouched = false;
        for (const Slot& slot : slots) {
            u32 crc = 0;
            if (slot.hasData && slot.hasSignature && storedCrc(slot.signature, crc) && crc == crcOf(loaded)) {
                vouched = true;
            }
        }
        if (!vouched || rc != 0) std::abort();
    }

    // With only harness-signed slots, the newest one that reads unchanged is what a load returns (the later slot
    // on equal versions).
    bool allKnown = true;
    const Slot* newest = nullptr;
    for (const Slot& slot : slots) {
        if (!slot.hasData && !slot.hasSignature) continue;
        if (!slot.hasData || !slot.hasSignature) continue;  // an incomplete pair is skipped
        if (!slot.signedByHarness) {
            allKnown = false;
        } else if (readsUnchanged(slot.data)) {
            if (!newest || slot.version >= newest->version) newest = &slot;
        }
    }
    if (allKnown && newest && (rc != 0 || loaded != newest->data)) std::abort();
    return 0;
}
