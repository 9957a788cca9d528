// A small JSON writer: one compact document, strings escaped so that any
// bytes give valid JSON.
#ifndef MPIOCTL_JSON_H
#define MPIOCTL_JSON_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mpioctl::json {

// The text as a quoted JSON string. Quotes, backslashes and control
// characters are escaped; valid UTF-8 passes unchanged; each byte that is not
// part of a valid UTF-8 sequence becomes U+FFFD.
std::string quote(std::string_view text);

// Writes values in order; keys and commas are placed as it goes. The caller
// nests begin/end pairs correctly and gives a key before each member.
class Writer {
public:
    Writer& beginObject();
    Writer& endObject();
    Writer& beginArray();
    Writer& endArray();
    Writer& key(std::string_view name);
    Writer& string(std::string_view text);
    Writer& number(std::int64_t value);
    Writer& boolean(bool value);
    Writer& null();

    const std::string& text() const { return out_; }

private:
    void separate();
    void open(char bracket);
    void close(char bracket);

    std::string out_;
    std::vector<bool> empty_; // per open container: nothing written into it yet
    bool afterKey_ = false;
};

} // namespace mpioctl::json

#endif // MPIOCTL_JSON_H
