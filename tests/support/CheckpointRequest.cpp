#include "CheckpointRequest.h"

#include <cstdint>

namespace {

const std::string kPing = "/KestrumService/AgentServer/ping";
const std::string kInsert = "/KestrumService/AgentServer/insertlicensed/";
const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-";

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool base64Decoded(const std::string& text, std::string* bytes) {
    if (text.size() % 4 != 0) return false;
    uint32_t bits = 0;
    int count = 0;
    size_t padding = 0;
    for (char c : text) {
        if (c == '=') {
            ++padding;
            continue;
        }
        if (padding) return false;
        const size_t value = kAlphabet.find(c);
        if (value == std::string::npos) return false;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if (++count == 4) {
            *bytes += static_cast<char>(bits >> 16);
            *bytes += static_cast<char>(bits >> 8);
            *bytes += static_cast<char>(bits);
            bits = 0;
            count = 0;
        }
    }
    if (padding > 2) return false;
    if (count == 2) {
        *bytes += static_cast<char>(bits >> 4);
    } else if (count == 3) {
        *bytes += static_cast<char>(bits >> 10);
        *bytes += static_cast<char>(bits >> 2);
    }
    return true;
}

void appendUtf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16LE to UTF-8; false when the bytes are not whole, well-paired code units.
bool utf16Decoded(const std::string& bytes, std::string* out) {
    bool valid = bytes.size() % 2 == 0;
    const size_t units = bytes.size() / 2;
    auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8;
    };
    for (size_t i = 0; i < units; ++i) {
        const uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
            appendUtf8(0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00), out);
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            appendUtf8(0xFFFD, out);
            valid = false;
        } else {
            appendUtf8(u, out);
        }
    }
    return valid;
}

}  // namespace

std::string requestTarget(const std::string& requestBytes) {
    const size_t first = requestBytes.find(' ');
    if (first == std::string::npos) return "";
    const size_t second = requestBytes.find(' ', first + 1);
    if (second == std::string::npos) return "";
    return requestBytes.substr(first + 1, second - first - 1);
}

CheckpointRequest parseCheckpointRequest(const std::string& target) {
    CheckpointRequest request;
    if (target == kPing) {
        request.kind = CheckpointRequest::Kind::Ping;
        return request;
    }
    if (target.compare(0, kInsert.size(), kInsert) != 0) return request;
    request.kind = CheckpointRequest::Kind::Insert;
    const std::string rest = target.substr(kInsert.size());
    const size_t slash = rest.rfind('/');
    request.macs = percentDecoded(slash == std::string::npos ? "" : rest.substr(0, slash));
    request.encoded = slash == std::string::npos ? rest : rest.substr(slash + 1);
    std::string bytes;
    request.nameValid = base64Decoded(request.encoded, &bytes) && utf16Decoded(bytes, &request.name);
    return request;
}
