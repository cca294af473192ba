#include "ConsistentFile.h"

#include "Logger.h"
#include "NativePath.h"

#include <array>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>

namespace {

constexpr size_t kMaxLineLength = 511;

constexpr std::array<u32, 256> makeCrcTable() {
    std::array<u32, 256> table{};
    for (u32 n = 0; n < 256; ++n) {
        u32 c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<u32, 256> kCrcTable = makeCrcTable();

// CRC-32 of the ISO 3309 / IEEE 802.3 family, continued from `crc` (0 to start).
u32 crc32(u32 crc, const std::string& bytes) {
    crc = ~crc;
    for (unsigned char b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// One line as the Windows runtime's text mode hands it over: a carriage return before the line feed is not part
// of it, so a file signed with either line end checks the same on every platform. False at the end of the input
// and at a line longer than the limit, which ends the reading there. The text ends at its first NUL byte.
bool readTextLine(std::istream& in, std::string& line) {
    // Read no more than the limit and a carriage return: a damaged file without line feeds is not taken whole.
    char buffer[kMaxLineLength + 3];
    in.getline(buffer, sizeof(buffer));
    const std::streamsize read = in.gcount();
    if (in.fail()) return false;  // end of input, or a line past the limit
    line.assign(buffer, static_cast<size_t>(read > 0 && !in.eof() ? read - 1 : read));
    if (!in.eof() && !line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLineLength) return false;
    line.resize(std::strlen(line.c_str()));
    return true;
}

// An unsigned decimal number on a line of its own, bounded as the data lines are: only digits make one, up to
// `largest`. Anything else is no number: a missing or empty line, a sign (a stream's extraction would wrap "-1" to
// the largest number), a blank or other text, a number past `largest`, a line past the limit.
std::optional<u64> readNumberLine(std::istream& in, u64 largest) {
    std::string line;
    if (!readTextLine(in, line) || line.empty()) return std::nullopt;
    u64 value = 0;
    for (char c : line) {
        if (c < '0' || c > '9') return std::nullopt;
        const u64 digit = static_cast<u64>(c - '0');
        if (value > (largest - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

ConsistentFile::ConsistentFile(const std::string& path) : m_slots(2), m_path(path), m_nextIndex(0), m_nextVersion(1) {
    int latest = -1;
    findLatestValidFileIndex(latest);
    m_nextIndex = (latest + 1) % m_slots;
}

std::string ConsistentFile::getDataFileName(u32 index) const { return m_path + "." + std::to_string(index); }

std::string ConsistentFile::getSignatureFileName(u32 index) const { return getDataFileName(index) + ".sig"; }

RcStatus ConsistentFile::findLatestValidFileIndex(int& latest) { return findLatestValidFileIndex(latest, nullptr); }

RcStatus ConsistentFile::findLatestValidFileIndex(int& latest, std::vector<std::string>* latestLines) {
    latest = -1;
    u64 bestVersion = 0;
    bool anyFileFound = false;
    for (int i = 0; i < m_slots; ++i) {
        std::ifstream data;
        std::ifstream signature;
        openInput(data, getDataFileName(i), std::ios::in | std::ios::binary);
        openInput(signature, getSignatureFileName(i), std::ios::in | std::ios::binary);
        if (!data.is_open() && !signature.is_open()) {
            LOG(Info) << "Not found persistent files for index " << i << std::endl;
            continue;
        }
        anyFileFound = true;
        if (!data.is_open() || !signature.is_open()) {
            LOG(Error) << "Incomplete pair of persistent files for index " << i << std::endl;
            continue;
        }
        // A version with no successor is never taken: the next one written would wrap to 0. A version that is no
        // number counts as 0, which never wins.
        const u64 version = readNumberLine(signature, std::numeric_limits<u64>::max() - 1).value_or(0);
        // A CRC that is no number matches nothing: read as 0 it would vouch for an empty data file.
        const std::optional<u64> storedCrc = readNumberLine(signature, std::numeric_limits<u64>::max());
        signature.close();
        if (version < bestVersion) {
            LOG(Info) << "Index " << i << " is older than the current one" << std::endl;
            continue;
        }
        // The lines are kept as they were checked: what a loader copies is exactly what matched the signature.
        std::vector<std::string> lines;
        u32 crc = 0;
        std::string line;
        while (readTextLine(data, line)) {
            crc = crc32(crc, line);
            crc = crc32(crc, "\n");
            lines.push_back(line);
        }
        if (storedCrc && crc == static_cast<u32>(*storedCrc)) {
            latest = i;
            bestVersion = version;
            if (latestLines) *latestLines = std::move(lines);
            LOG(Info) << "Latest index found: " << i << std::endl;
        } else {
            LOG(Error) << "Data and signature do not match for index " << i << std::endl;
        }
    }
    if (!anyFileFound || m_slots < 1) return kConsistentFileMissing;
    if (bestVersion == 0) return RC_ERROR;
    m_nextVersion = bestVersion + 1;
    return static_cast<RcStatus>(0);
}

int ConsistentFile::load(std::iostream& out) {
    ScopedLock lock(&m_mutex);
    int latest = -1;
    std::vector<std::string> lines;
    const RcStatus status = findLatestValidFileIndex(latest, &lines);
    if (status == RC_ERROR) {
        LOG(Error) << "Error loading from disk" << std::endl;
        return 1;
    }
    if (status == kConsistentFileMissing) {
        LOG(Info) << "File does not exist" << std::endl;
        return 0;
    }
    for (const auto& line : lines) out << line << std::endl;
    m_nextIndex = (latest + 1) % m_slots;
    return 0;
}
