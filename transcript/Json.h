#pragma once
// The little JSON that transcripts need: one flat object per line, with
// string, number and true/false values. Written with the keys in the order
// given, so that lines read well (by hand: see Json.cpp); read back into a
// map, through nlohmann::json's parser.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class JsonLine {
public:
    JsonLine& text(const char* key, const std::string& value);
    JsonLine& number(const char* key, int64_t value);
    // Fixed-point with `decimals` digits after the point (times in seconds).
    JsonLine& decimal(const char* key, double value, int decimals);
    JsonLine& flag(const char* key, bool value);

    // The object, without a line end.
    std::string str() const { return "{" + body_ + "}"; }

private:
    void key(const char* name);
    std::string body_;
};

// A value as read: its kind and its text (strings unescaped, numbers and
// booleans as written).
struct JsonValue {
    enum Kind { String, Number, Boolean, Null };
    Kind kind = Null;
    std::string text;
};

using JsonObject = std::map<std::string, JsonValue>;

// The longest line read: far above the longest line written (an answer of
// 64 KiB written whole in hexadecimal), far below what would hurt.
constexpr size_t kMaxJsonLine = 1 << 20;

// Parses one flat object; nested objects and arrays are refused, as are
// lines longer than kMaxJsonLine and text that is not UTF-8. A key given
// twice keeps its last value.
bool parseJsonObject(const std::string& line, JsonObject& object, std::string& error);

// JSON string escaping of UTF-8 text (quotes not included).
std::string jsonEscape(const std::string& text);
