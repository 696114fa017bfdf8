// A small JSON reader for the tests: enough to hold the report's --json
// output to its schema. ParseJson is true only for one whole, valid value.
#pragma once

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

struct Json {
    enum Kind { NUL, BOOL, NUM, STR, ARR, OBJ } kind = NUL;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<Json> a;
    std::map<std::string, Json> o;
    const Json &operator[](const std::string &key) const
    {
        static const Json missing;
        auto it = o.find(key);
        return it == o.end() ? missing : it->second;
    }
};

struct JsonReader {
    const std::string &t;
    size_t i = 0;
    bool ok = true;
    void Ws() { while (i < t.size() && isspace(static_cast<unsigned char>(t[i]))) ++i; }
    bool Eat(char c) { Ws(); if (i < t.size() && t[i] == c) { ++i; return true; } return false; }
    bool Word(const char *w) { size_t n = strlen(w); if (t.compare(i, n, w) != 0) return false; i += n; return true; }
    std::string Str()
    {
        std::string out;
        if (!Eat('"')) { ok = false; return out; }
        while (i < t.size() && t[i] != '"') {
            char c = t[i++];
            if (static_cast<unsigned char>(c) < 0x20) { ok = false; return out; }
            if (c != '\\') { out += c; continue; }
            char e = i < t.size() ? t[i++] : 0;
            if (e == 'u' && i + 4 <= t.size()) { out += static_cast<char>(std::stoi(t.substr(i, 4), nullptr, 16)); i += 4; }
            else if (e == '"' || e == '\\' || e == '/') out += e;
            else if (e == 'n') out += '\n';
            else ok = false;
        }
        ok = ok && Eat('"');
        return out;
    }
    Json Value()
    {
        Json v;
        Ws();
        if (i >= t.size()) { ok = false; return v; }
        if (t[i] == '"') { v.kind = Json::STR; v.s = Str(); }
        else if (t[i] == '{') {
            v.kind = Json::OBJ; ++i;
            if (!Eat('}')) {
                do { std::string k = Str(); ok = ok && Eat(':'); v.o[k] = Value(); } while (ok && Eat(','));
                ok = ok && Eat('}');
            }
        } else if (t[i] == '[') {
            v.kind = Json::ARR; ++i;
            if (!Eat(']')) { do v.a.push_back(Value()); while (ok && Eat(',')); ok = ok && Eat(']'); }
        } else if (Word("null")) v.kind = Json::NUL;
        else if (Word("true")) { v.kind = Json::BOOL; v.b = true; }
        else if (Word("false")) v.kind = Json::BOOL;
        else { char *end = nullptr; v.kind = Json::NUM; v.n = strtod(t.c_str() + i, &end); ok = ok && end != t.c_str() + i; i = end - t.c_str(); }
        return v;
    }
};

inline bool ParseJson(const std::string &text, Json *out)
{
    JsonReader r{text};
    *out = r.Value();
    r.Ws();
    return r.ok && r.i == text.size();
}
