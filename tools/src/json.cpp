#include "json.h"

namespace mpioctl::json {

namespace {

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at text[at], or 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, a code point
// above U+10FFFF or a truncated sequence).
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!continuation(byte(i))) return 0;
    return length;
}

} // namespace

std::string quote(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const std::size_t length = sequenceLength(text, at);
            if (length == 0) {
                out += "\\ufffd";
                ++at;
            } else {
                out.append(text, at, length);
                at += length;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            } else {
                out += static_cast<char>(c);
            }
        }
        ++at;
    }
    out += '"';
    return out;
}

void Writer::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!empty_.empty()) {
        if (!empty_.back()) out_ += ',';
        empty_.back() = false;
    }
}

void Writer::open(char bracket) {
    separate();
    out_ += bracket;
    empty_.push_back(true);
}

void Writer::close(char bracket) {
    out_ += bracket;
    if (!empty_.empty()) empty_.pop_back();
}

Writer& Writer::beginObject() { open('{'); return *this; }
Writer& Writer::endObject() { close('}'); return *this; }
Writer& Writer::beginArray() { open('['); return *this; }
Writer& Writer::endArray() { close(']'); return *this; }

Writer& Writer::key(std::string_view name) {
    separate();
    out_ += quote(name);
    out_ += ':';
    afterKey_ = true;
    return *this;
}

Writer& Writer::string(std::string_view text) {
    separate();
    out_ += quote(text);
    return *this;
}

Writer& Writer::number(std::int64_t value) {
    separate();
    out_ += std::to_string(value);
    return *this;
}

Writer& Writer::boolean(bool value) {
    separate();
    out_ += value ? "true" : "false";
    return *this;
}

Writer& Writer::null() {
    separate();
    out_ += "null";
    return *this;
}

} // namespace mpioctl::json
