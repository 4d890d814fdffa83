// Just enough JSON to read gpsd's reports back: objects, arrays, strings
// without escapes beyond \" and \\, numbers, true, false and null.  A line
// that does not parse gives a value of kind Invalid, so a test can say
// which line it could not read.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gnss::feed::test {

struct Json {
    enum class Kind { Invalid, Null, Boolean, Number, String, Array, Object };
    Kind kind = Kind::Invalid;
    bool boolean = false;
    double number = 0.0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json* Find(std::string_view key) const {
        for (const auto& [name, value] : members)
            if (name == key) return &value;
        return nullptr;
    }
    bool Has(std::string_view key) const { return Find(key) != nullptr; }
    double Number(std::string_view key) const {
        const Json* v = Find(key);
        return v != nullptr && v->kind == Kind::Number ? v->number : -1e300;
    }
    std::string Text(std::string_view key) const {
        const Json* v = Find(key);
        return v != nullptr && v->kind == Kind::String ? v->text : std::string();
    }

    static Json Parse(std::string_view text) {
        std::size_t at = 0;
        Json value = ParseValue(text, at);
        SkipSpace(text, at);
        return at == text.size() ? value : Json{};
    }

private:
    static void SkipSpace(std::string_view t, std::size_t& at) {
        while (at < t.size() && (t[at] == ' ' || t[at] == '\t' || t[at] == '\r' || t[at] == '\n'))
            ++at;
    }
    static bool Take(std::string_view t, std::size_t& at, std::string_view word) {
        if (t.substr(at, word.size()) != word) return false;
        at += word.size();
        return true;
    }
    static Json ParseValue(std::string_view t, std::size_t& at) {
        SkipSpace(t, at);
        Json v;
        if (at >= t.size()) return v;
        const char c = t[at];
        if (c == '{' || c == '[') {
            const bool object = c == '{';
            ++at;
            SkipSpace(t, at);
            if (at < t.size() && t[at] == (object ? '}' : ']')) {
                ++at;
                v.kind = object ? Kind::Object : Kind::Array;
                return v;
            }
            for (;;) {
                std::string key;
                if (object) {
                    Json name = ParseValue(t, at);
                    SkipSpace(t, at);
                    if (name.kind != Kind::String || !Take(t, at, ":")) return Json{};
                    key = name.text;
                }
                Json item = ParseValue(t, at);
                if (item.kind == Kind::Invalid) return Json{};
                if (object)
                    v.members.emplace_back(key, std::move(item));
                else
                    v.items.push_back(std::move(item));
                SkipSpace(t, at);
                if (Take(t, at, ",")) continue;
                if (!Take(t, at, object ? "}" : "]")) return Json{};
                v.kind = object ? Kind::Object : Kind::Array;
                return v;
            }
        }
        if (c == '"') {
            for (++at; at < t.size() && t[at] != '"'; ++at) {
                if (t[at] == '\\' && at + 1 < t.size()) ++at;
                v.text += t[at];
            }
            if (!Take(t, at, "\"")) return Json{};
            v.kind = Kind::String;
            return v;
        }
        if (Take(t, at, "true") || Take(t, at, "false")) {
            v.kind = Kind::Boolean;
            v.boolean = t[at - 1] == 'e' && t[at - 2] == 'u';
            return v;
        }
        if (Take(t, at, "null")) {
            v.kind = Kind::Null;
            return v;
        }
        const std::string rest(t.substr(at, 40));
        char* end = nullptr;
        v.number = std::strtod(rest.c_str(), &end);
        if (end == rest.c_str()) return Json{};
        at += static_cast<std::size_t>(end - rest.c_str());
        v.kind = Kind::Number;
        return v;
    }
};

}  // namespace gnss::feed::test
