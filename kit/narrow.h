#pragma once
// Wide text in the kit's reports, which are ASCII: printable ASCII as it is,
// any other unit as \uXXXX, so that what a case saw reads the same on every
// console code page and no two texts print alike.
#include <cstdio>
#include <string>

inline std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

// The same text as a JSON string, for the one-line answers of the kit's and
// the tests' Windows-side helpers.
inline std::string Json(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') out += '\\';
        out += Narrow(std::wstring(1, c));
    }
    return out + "\"";
}
