#pragma once
// A small JSON reader for settings files: parses a whole text into a tree of values.
// Plain data, no threads; any thread may use its own instances.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltrin::rt {

class JsonValue
{
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    // Strict RFC 8259 parse of the whole text; nullopt on any error (also on nesting deeper
    // than kMaxDepth, so hostile input cannot exhaust the stack).
    static std::optional<JsonValue> parse(const std::string &text);
    static constexpr int kMaxDepth = 64;

    Type type() const { return m_type; }
    bool isString() const { return m_type == Type::String; }
    bool isArray() const { return m_type == Type::Array; }
    bool isObject() const { return m_type == Type::Object; }
    bool boolValue() const { return m_bool; }
    double numberValue() const { return m_number; }
    const std::string &stringValue() const { return m_string; }
    const std::vector<JsonValue> &arrayItems() const { return m_array; }
    // The member with this key (the last one if repeated), or null when absent or not an object.
    const JsonValue *member(const std::string &key) const;
    // Follows a dot-separated path of object keys, e.g. "ndi.groups.send".
    const JsonValue *path(const std::string &dottedPath) const;

private:
    friend class JsonParser;
    Type m_type = Type::Null;
    bool m_bool = false;
    double m_number = 0;
    std::string m_string;
    std::vector<JsonValue> m_array;
    std::map<std::string, JsonValue> m_object;
};

} // namespace veltrin::rt
