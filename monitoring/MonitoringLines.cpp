#include "monitoring/MonitoringLines.h"

#include <cstdio>

#include "base/Text.h"

namespace korvan {

namespace {

constexpr const char* kLinePrefix = "5077 18";

// Unit-supplied text made safe for the line and brought to `width`
// characters: cut when longer, blank-padded when shorter.
std::string Field(const std::string& text, std::size_t width) {
    std::string out = PrintableText(text.substr(0, width));
    out.resize(width, ' ');
    return out;
}

}  // namespace

std::string MakeEventLine(const std::string& account, const std::string& event,
                          const std::string& partition, const std::string& zone) {
    const char qualifier = (!event.empty() && event[0] == '1') ? 'E' : 'R';
    const std::string code = event.size() > 1 ? event.substr(1) : std::string();
    return kLinePrefix + Field(account, 4) + qualifier + Field(code, 3) + Field(partition, 2) +
           Field(zone, 3);
}

std::string MakeTroubleLine(const std::string& account, int stage) {
    char zone[16];
    std::snprintf(zone, sizeof zone, "%.3d", stage);
    return kLinePrefix + Field(account, 4) + "E35000" + Field(zone, 3);
}

std::string MakeRestoreLine(const std::string& account) {
    return kLinePrefix + Field(account, 4) + "R35000000";
}

}  // namespace korvan
