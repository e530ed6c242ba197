#include "tools/monitor-sim/LineCheck.h"

#include <cstdio>
#include <string>
#include <utility>

namespace monsim {

namespace {

bool IsPrintableAscii(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x20 && b < 0x7F;
}

bool AllPrintable(std::string_view s) {
    for (char c : s) {
        if (!IsPrintableAscii(c))
            return false;
    }
    return true;
}

// Contact ID digits: 0-9 and the upper-case letters a dialler may send.
bool AllHex(std::string_view s) {
    for (char c : s) {
        const bool digit = c >= '0' && c <= '9';
        const bool letter = c >= 'A' && c <= 'F';
        if (!digit && !letter)
            return false;
    }
    return true;
}

LineVerdict Malformed(std::string problem) {
    LineVerdict v;
    v.kind = LineKind::Malformed;
    v.problem = std::move(problem);
    return v;
}

LineVerdict Kind(LineKind kind) {
    LineVerdict v;
    v.kind = kind;
    return v;
}

void AddNote(std::string& note, const std::string& text) {
    if (!note.empty())
        note += "; ";
    note += text;
}

}  // namespace

LineVerdict ClassifyLine(std::string_view line) {
    if (line.size() != kLineLength) {
        return Malformed("length " + std::to_string(line.size()) + ", expected 20");
    }
    if (line == kHeartbeat)
        return Kind(LineKind::Heartbeat);
    if (line.substr(0, 4) == "1077") {
        return Malformed("begins with \"1077\" but is not the heartbeat");
    }
    if (line.substr(0, kLinePrefix.size()) != kLinePrefix) {
        return Malformed("begins with neither \"5077 18\" nor \"1077\"");
    }

    const std::string_view account = line.substr(7, 4);
    const char qualifier = line[11];
    const std::string_view code = line.substr(12, 3);
    const std::string_view partition = line.substr(15, 2);
    const std::string_view zone = line.substr(17, 3);

    if (!AllPrintable(account))
        return Malformed("account is not 4 printable ASCII characters");
    if (qualifier != 'E' && qualifier != 'R')
        return Malformed("qualifier is neither E nor R");

    LineVerdict v;
    if (qualifier == 'E' && code == "350" && partition == "00" &&
        (zone == "001" || zone == "002" || zone == "003")) {
        v.kind = LineKind::Trouble;
    } else if (qualifier == 'R' && code == "350" && partition == "00" && zone == "000") {
        v.kind = LineKind::Restore;
    } else {
        if (!AllPrintable(code))
            return Malformed("event code is not printable ASCII");
        if (!AllPrintable(partition))
            return Malformed("partition is not printable ASCII");
        if (!AllPrintable(zone))
            return Malformed("zone is not printable ASCII");
        v.kind = LineKind::Event;
        if (!AllHex(code))
            AddNote(v.note, "event code " + QuotedText(code) + " is not hexadecimal");
        if (!AllHex(partition)) {
            AddNote(v.note, "partition " + QuotedText(partition) + " is not hexadecimal");
        }
        if (!AllHex(zone))
            AddNote(v.note, "zone " + QuotedText(zone) + " is not hexadecimal");
    }
    // The receiver tells a heartbeat by its "@" alone, so it would not log
    // such a line when sending it.
    if (line.find('@') != std::string_view::npos) {
        AddNote(v.note, "contains \"@\", the heartbeat mark");
    }
    return v;
}

const char* KindName(LineKind kind) {
    switch (kind) {
        case LineKind::Event:
            return "event";
        case LineKind::Trouble:
            return "trouble";
        case LineKind::Restore:
            return "restore";
        case LineKind::Heartbeat:
            return "heartbeat";
        case LineKind::Malformed:
            break;
    }
    return "malformed";
}

std::string QuotedText(std::string_view line) {
    std::string out = "\"";
    for (char c : line) {
        if (IsPrintableAscii(c) && c != '"' && c != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    out += '"';
    return out;
}

std::vector<std::string> LineSplitter::Feed(std::string_view bytes) {
    std::vector<std::string> lines;
    for (char c : bytes) {
        if (c == kLineEnd) {
            lines.push_back(std::move(pending_));
            pending_.clear();
            continue;
        }
        pending_ += c;
        if (pending_.size() >= kMaxPending) {
            lines.push_back(std::move(pending_));
            pending_.clear();
        }
    }
    return lines;
}

}  // namespace monsim
