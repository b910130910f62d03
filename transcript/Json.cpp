#include "Json.h"

#include <cmath>
#include <cstdio>

// --- Writing ------------------------------------------------------------------

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
                out += c;   // UTF-8 bytes go through as they are
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

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    bool object(JsonObject& out, std::string& error)
    {
        out.clear();
        if (!expect('{'))
            return fail("expected '{'", error);
        skipSpace();
        if (peek() == '}') {
            ++at_;
            return end(error);
        }
        for (;;) {
            std::string name;
            JsonValue value;
            skipSpace();
            if (!string(name))
                return fail("expected a key", error);
            if (!expect(':'))
                return fail("expected ':' after \"" + name + "\"", error);
            if (!this->value(value))
                return fail("bad value for \"" + name + "\"", error);
            out[name] = value;
            skipSpace();
            if (peek() == ',') {
                ++at_;
                continue;
            }
            if (peek() == '}') {
                ++at_;
                return end(error);
            }
            return fail("expected ',' or '}'", error);
        }
    }

private:
    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    void skipSpace()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' || text_[at_] == '\n'))
            ++at_;
    }
    bool expect(char c)
    {
        skipSpace();
        if (peek() != c)
            return false;
        ++at_;
        return true;
    }
    bool fail(const std::string& what, std::string& error)
    {
        error = what + " at column " + std::to_string(at_ + 1);
        return false;
    }
    bool end(std::string& error)
    {
        skipSpace();
        return at_ == text_.size() || fail("text after the object", error);
    }

    static void appendUtf8(std::string& out, unsigned code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool hex4(unsigned& code)
    {
        if (at_ + 4 > text_.size())
            return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            const unsigned digit = c >= '0' && c <= '9' ? unsigned(c - '0')
                                   : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                                   : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                                          : 16u;
            if (digit > 15)
                return false;
            code = code * 16 + digit;
        }
        return true;
    }

    // Transcripts hold only what we write: characters outside the basic
    // plane (surrogate pairs) are not expected and are refused.
    bool string(std::string& out)
    {
        if (peek() != '"')
            return false;
        ++at_;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            const char escaped = peek();
            ++at_;
            switch (escaped) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned code = 0;
                if (!hex4(code) || (code >= 0xD800 && code <= 0xDFFF))
                    return false;
                appendUtf8(out, code);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }

    bool word(const char* literal)
    {
        const std::string expected(literal);
        if (text_.compare(at_, expected.size(), expected) != 0)
            return false;
        at_ += expected.size();
        return true;
    }

    bool number(std::string& out)
    {
        const size_t begin = at_;
        if (peek() == '-')
            ++at_;
        const size_t digits = at_;
        while (at_ < text_.size() && ((text_[at_] >= '0' && text_[at_] <= '9') || text_[at_] == '.' ||
                                      text_[at_] == 'e' || text_[at_] == 'E' || text_[at_] == '+' || text_[at_] == '-'))
            ++at_;
        out = text_.substr(begin, at_ - begin);
        return at_ > digits && text_[digits] >= '0' && text_[digits] <= '9';
    }

    bool value(JsonValue& out)
    {
        skipSpace();
        const char c = peek();
        if (c == '"') {
            out.kind = JsonValue::String;
            return string(out.text);
        }
        if (c == 't' || c == 'f') {
            out.kind = JsonValue::Boolean;
            out.text = c == 't' ? "true" : "false";
            return word(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            out.kind = JsonValue::Null;
            return word("null");
        }
        out.kind = JsonValue::Number;
        return number(out.text);
    }

    const std::string& text_;
    size_t at_ = 0;
};

} // namespace

bool parseJsonObject(const std::string& line, JsonObject& object, std::string& error)
{
    return Parser(line).object(object, error);
}
