#pragma once

#include <cstdio>
#include <string>

namespace korvan {

// `text` as the name of one case of a parameterised test, which may hold
// only letters, digits and '_'. Letters, digits and '_' stay, a space becomes
// '_', '-' and '+' become "Minus" and "Plus", any other byte "xHH"; an empty
// text is "Empty".
inline std::string CaseName(const std::string& text) {
    if (text.empty())
        return "Empty";
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            u == '_') {
            out += c;
        } else if (u == ' ') {
            out += '_';
        } else if (u == '-') {
            out += "Minus";
        } else if (u == '+') {
            out += "Plus";
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "x%02X", u);
            out += hex;
        }
    }
    return out;
}

}  // namespace korvan
