#include "JsonValue.h"

#include <charconv>

namespace veltrin::rt {

// Recursive descent over the text; every method returns false on the first error.
class JsonParser
{
public:
    explicit JsonParser(const std::string &text) : m_text(text) {}

    bool parseDocument(JsonValue &out)
    {
        skipSpace();
        if (!parseValue(out, 0))
            return false;
        skipSpace();
        return m_pos == m_text.size();
    }

private:
    void skipSpace()
    {
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                return;
            ++m_pos;
        }
    }

    bool literal(const char *word)
    {
        for (const char *p = word; *p; ++p, ++m_pos)
            if (m_pos >= m_text.size() || m_text[m_pos] != *p)
                return false;
        return true;
    }

    bool parseValue(JsonValue &out, int depth)
    {
        if (depth > JsonValue::kMaxDepth || m_pos >= m_text.size())
            return false;
        switch (m_text[m_pos]) {
        case '{':
            return parseObject(out, depth);
        case '[':
            return parseArray(out, depth);
        case '"':
            out.m_type = JsonValue::Type::String;
            return parseString(out.m_string);
        case 't':
            out.m_type = JsonValue::Type::Bool;
            out.m_bool = true;
            return literal("true");
        case 'f':
            out.m_type = JsonValue::Type::Bool;
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return parseNumber(out);
        }
    }

    bool parseObject(JsonValue &out, int depth)
    {
        out.m_type = JsonValue::Type::Object;
        ++m_pos;
        skipSpace();
        if (m_pos < m_text.size() && m_text[m_pos] == '}') {
            ++m_pos;
            return true;
        }
        for (;;) {
            skipSpace();
            std::string key;
            if (m_pos >= m_text.size() || m_text[m_pos] != '"' || !parseString(key))
                return false;
            skipSpace();
            if (m_pos >= m_text.size() || m_text[m_pos] != ':')
                return false;
            ++m_pos;
            skipSpace();
            JsonValue value;
            if (!parseValue(value, depth + 1))
                return false;
            out.m_object[key] = std::move(value);
            skipSpace();
            if (m_pos >= m_text.size())
                return false;
            if (m_text[m_pos] == '}') {
                ++m_pos;
                return true;
            }
            if (m_text[m_pos] != ',')
                return false;
            ++m_pos;
        }
    }

    bool parseArray(JsonValue &out, int depth)
    {
        out.m_type = JsonValue::Type::Array;
        ++m_pos;
        skipSpace();
        if (m_pos < m_text.size() && m_text[m_pos] == ']') {
            ++m_pos;
            return true;
        }
        for (;;) {
            skipSpace();
            JsonValue value;
            if (!parseValue(value, depth + 1))
                return false;
            out.m_array.push_back(std::move(value));
            skipSpace();
            if (m_pos >= m_text.size())
                return false;
            if (m_text[m_pos] == ']') {
                ++m_pos;
                return true;
            }
            if (m_text[m_pos] != ',')
                return false;
            ++m_pos;
        }
    }

    static void appendUtf8(std::string &out, uint32_t cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool hex4(uint32_t &value)
    {
        value = 0;
        for (int i = 0; i < 4; ++i, ++m_pos) {
            if (m_pos >= m_text.size())
                return false;
            const char c = m_text[m_pos];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= static_cast<uint32_t>(c - 'A' + 10);
            else
                return false;
        }
        return true;
    }

    bool parseString(std::string &out)
    {
        ++m_pos; // opening quote
        while (m_pos < m_text.size()) {
            const unsigned char c = static_cast<unsigned char>(m_text[m_pos++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (m_pos >= m_text.size())
                return false;
            const char e = m_text[m_pos++];
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                uint32_t cp = 0;
                if (!hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp < 0xDC00) { // high surrogate: a low one must follow
                    uint32_t low = 0;
                    if (m_pos + 1 >= m_text.size() || m_text[m_pos] != '\\'
                        || m_text[m_pos + 1] != 'u')
                        return false;
                    m_pos += 2;
                    if (!hex4(low) || low < 0xDC00 || low > 0xDFFF)
                        return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;
                }
                appendUtf8(out, cp);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }

    bool parseNumber(JsonValue &out)
    {
        const size_t start = m_pos;
        auto digits = [&] {
            const size_t from = m_pos;
            while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9')
                ++m_pos;
            return m_pos > from;
        };
        if (m_pos < m_text.size() && m_text[m_pos] == '-')
            ++m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '0')
            ++m_pos;
        else if (!digits())
            return false;
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            ++m_pos;
            if (!digits())
                return false;
        }
        if (m_pos < m_text.size() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
            ++m_pos;
            if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-'))
                ++m_pos;
            if (!digits())
                return false;
        }
        out.m_type = JsonValue::Type::Number;
        // from_chars ignores the C locale, which a Qt program sets from the environment.
        std::from_chars(m_text.data() + start, m_text.data() + m_pos, out.m_number);
        return true;
    }

    const std::string &m_text;
    size_t m_pos = 0;
};

std::optional<JsonValue> JsonValue::parse(const std::string &text)
{
    JsonValue root;
    JsonParser parser(text);
    if (!parser.parseDocument(root))
        return std::nullopt;
    return root;
}

const JsonValue *JsonValue::member(const std::string &key) const
{
    if (m_type != Type::Object)
        return nullptr;
    const auto it = m_object.find(key);
    return it == m_object.end() ? nullptr : &it->second;
}

const JsonValue *JsonValue::path(const std::string &dottedPath) const
{
    const JsonValue *node = this;
    size_t from = 0;
    while (node) {
        const size_t dot = dottedPath.find('.', from);
        node = node->member(
            dottedPath.substr(from, dot == std::string::npos ? std::string::npos : dot - from));
        if (dot == std::string::npos)
            return node;
        from = dot + 1;
    }
    return nullptr;
}

} // namespace veltrin::rt
