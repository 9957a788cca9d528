// A strict reader of one JSON document, for checking mpioctl's output.
// Throws std::runtime_error on anything that is not valid JSON.
#ifndef MPIOCTL_TESTS_JSON_READER_H
#define MPIOCTL_TESTS_JSON_READER_H

#include <cctype>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::map<std::string, JsonValue>;

struct JsonValue {
    std::variant<std::nullptr_t, bool, std::int64_t, std::string, std::shared_ptr<JsonArray>,
                 std::shared_ptr<JsonObject>>
        v;

    bool isNull() const { return std::holds_alternative<std::nullptr_t>(v); }
    bool boolean() const { return std::get<bool>(v); }
    std::int64_t number() const { return std::get<std::int64_t>(v); }
    const std::string& str() const { return std::get<std::string>(v); }
    const JsonArray& array() const { return *std::get<std::shared_ptr<JsonArray>>(v); }
    const JsonObject& object() const { return *std::get<std::shared_ptr<JsonObject>>(v); }
    bool has(const std::string& key) const { return object().count(key) != 0; }
    const JsonValue& operator[](const std::string& key) const {
        const auto found = object().find(key);
        if (found == object().end()) throw std::runtime_error("no member " + key);
        return found->second;
    }
};

class JsonReader {
public:
    static JsonValue parse(const std::string& text) {
        JsonReader reader(text);
        JsonValue value = reader.value();
        reader.space();
        if (reader.at_ != text.size()) reader.fail("text after the document");
        return value;
    }

private:
    explicit JsonReader(const std::string& text) : text_(text) {}

    [[noreturn]] void fail(const std::string& why) const {
        throw std::runtime_error("bad JSON at " + std::to_string(at_) + ": " + why);
    }
    void space() {
        while (at_ < text_.size() && std::string(" \t\r\n").find(text_[at_]) != std::string::npos)
            ++at_;
    }
    char next() { return at_ < text_.size() ? text_[at_++] : (fail("unexpected end"), '\0'); }
    void expect(const std::string& word) {
        if (text_.compare(at_, word.size(), word) != 0) fail("expected " + word);
        at_ += word.size();
    }

    JsonValue value() {
        space();
        if (at_ >= text_.size()) fail("no value");
        const char c = text_[at_];
        if (c == '{') return object();
        if (c == '[') return array();
        if (c == '"') return {string()};
        if (c == 't') return expect("true"), JsonValue{true};
        if (c == 'f') return expect("false"), JsonValue{false};
        if (c == 'n') return expect("null"), JsonValue{nullptr};
        return number();
    }

    JsonValue number() {
        const std::size_t start = at_;
        if (text_[at_] == '-') ++at_;
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
        if (at_ == start || text_[at_ - 1] == '-') fail("bad number");
        return {static_cast<std::int64_t>(std::stoll(text_.substr(start, at_ - start)))};
    }

    std::string string() {
        expect("\"");
        std::string out;
        for (char c; (c = next()) != '"';) {
            if (static_cast<unsigned char>(c) < 0x20) fail("raw control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            switch (const char e = next()) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (at_ + 4 > text_.size()) fail("short \\u escape");
                const unsigned cp = static_cast<unsigned>(std::stoul(text_.substr(at_, 4), nullptr, 16));
                at_ += 4;
                if (cp >= 0xD800 && cp <= 0xDFFF) fail("surrogate escape");
                if (cp < 0x80) {
                    out += static_cast<char>(cp);
                } else if (cp < 0x800) {
                    out += static_cast<char>(0xC0 | (cp >> 6));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (cp >> 12));
                    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                }
                break;
            }
            default: fail("bad escape");
            }
        }
        return out;
    }

    JsonValue array() {
        expect("[");
        auto items = std::make_shared<JsonArray>();
        space();
        if (at_ < text_.size() && text_[at_] == ']') return ++at_, JsonValue{items};
        for (;;) {
            items->push_back(value());
            space();
            const char c = next();
            if (c == ']') return {items};
            if (c != ',') fail("expected , or ]");
        }
    }

    JsonValue object() {
        expect("{");
        auto members = std::make_shared<JsonObject>();
        space();
        if (at_ < text_.size() && text_[at_] == '}') return ++at_, JsonValue{members};
        for (;;) {
            space();
            std::string key = string();
            space();
            expect(":");
            if (!members->emplace(key, value()).second) fail("duplicate key " + key);
            space();
            const char c = next();
            if (c == '}') return {members};
            if (c != ',') fail("expected , or }");
        }
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

#endif // MPIOCTL_TESTS_JSON_READER_H
