#include "transcript/Json.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

// --- Writing ------------------------------------------------------------------
//
// The lines are written by hand, not by nlohmann::json's dump(), which would
// change the bytes of the transcripts: it writes "\b" and "\f" where these
// lines have "\u0008" and "\u000c", it refuses bytes that are not UTF-8 (or
// replaces them, with U+FFFD) where these lines let them through as they are,
// and it writes numbers in their shortest form (1.23, not the 1.230 of a time
// kept to the millisecond).

std::string jsonEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c; // UTF-8 bytes go through as they are
            }
        }
    }
    return out;
}

void JsonLine::key(const char* name)
{
    if (!body_.empty())
        body_ += ',';
    body_ += '"';
    body_ += jsonEscape(name);
    body_ += "\":";
}

JsonLine& JsonLine::text(const char* name, const std::string& value)
{
    key(name);
    body_ += '"' + jsonEscape(value) + '"';
    return *this;
}

JsonLine& JsonLine::number(const char* name, int64_t value)
{
    key(name);
    body_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::decimal(const char* name, double value, int decimals)
{
    key(name);
    char formatted[64];
    std::snprintf(formatted, sizeof formatted, "%.*f", decimals, std::isfinite(value) ? value : 0.0);
    body_ += formatted;
    return *this;
}

JsonLine& JsonLine::flag(const char* name, bool value)
{
    key(name);
    body_ += value ? "true" : "false";
    return *this;
}

// --- Reading ------------------------------------------------------------------

namespace {

using nlohmann::json;

// Takes the events of the parser one by one into a flat object: the object
// itself, then pairs of a key and a plain value. An object or array as a
// value stops the parse, as does anything but an object at the top.
class FlatObject {
public:
    explicit FlatObject(JsonObject& out) : out_(out) {}

    std::string refusal; // why the parse stopped, when it was us
    std::string syntax;  // why the parse stopped, when it was the parser

    bool start_object(std::size_t)
    {
        if (opened_)
            return refuse("an object");
        opened_ = true;
        return true;
    }
    bool end_object() { return true; }
    bool key(json::string_t& name)
    {
        key_ = name;
        return true;
    }
    bool start_array(std::size_t) { return refuse("an array"); }
    bool end_array() { return false; }

    bool null() { return put(JsonValue::Null, std::string()); }
    bool boolean(bool value) { return put(JsonValue::Boolean, value ? "true" : "false"); }
    // Integers as the parser read them: JSON writes them one way only.
    bool number_integer(json::number_integer_t value) { return put(JsonValue::Number, std::to_string(value)); }
    bool number_unsigned(json::number_unsigned_t value) { return put(JsonValue::Number, std::to_string(value)); }
    bool number_float(json::number_float_t, const json::string_t& text) { return put(JsonValue::Number, text); }
    bool string(json::string_t& value) { return put(JsonValue::String, std::move(value)); }
    bool binary(json::binary_t&) { return false; } // never produced from JSON text

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& problem)
    {
        // "[json.exception.parse_error.101] parse error at line 1, column 9: syntax error while
        // parsing value - invalid literal; last read: '"a":tru}'": what follows the position,
        // which is given again as a column.
        std::string what = problem.what();
        const size_t label = what.find("] ");
        if (what.compare(0, 1, "[") == 0 && label != std::string::npos)
            what.erase(0, label + 2);
        const size_t text = what.compare(0, 12, "parse error ") == 0 ? what.find(": ") : std::string::npos;
        if (text != std::string::npos)
            what.erase(0, text + 2);
        syntax = what + " at column " + std::to_string(position);
        return false;
    }

private:
    bool put(JsonValue::Kind kind, std::string text)
    {
        if (!opened_)
            return refuse("a value");
        JsonValue& value = out_[key_]; // a key given twice keeps its last value
        value.kind = kind;
        value.text = std::move(text);
        return true;
    }
    bool refuse(const char* what)
    {
        refusal = opened_ ? "\"" + key_ + "\" holds " + what + ": only strings, numbers, true, false and null are read"
                          : std::string("expected an object");
        return false;
    }

    JsonObject& out_;
    bool opened_ = false;
    std::string key_;
};

} // namespace

bool parseJsonObject(const std::string& line, JsonObject& object, std::string& error)
{
    object.clear();
    if (line.size() > kMaxJsonLine) {
        error = "line longer than " + std::to_string(kMaxJsonLine) + " bytes";
        return false;
    }
    FlatObject sax(object);
    if (json::sax_parse(line, &sax, json::input_format_t::json, true))
        return true;
    error = !sax.refusal.empty() ? sax.refusal : !sax.syntax.empty() ? sax.syntax : "not a JSON object";
    return false;
}
