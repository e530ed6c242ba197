#include "tools/unit-sim/SimOptions.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

namespace unitsim {

namespace {

bool ToInt(const std::string& text, long long lo, long long hi, long long& out) {
    long long v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || ptr != end || text.empty() || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

bool ToDouble(const std::string& text, double& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v) || v <= 0) {
        return false;
    }
    out = v;
    return true;
}

// "2026-02-30 25:61:00": six numbers, kept as they are; only the byte range
// is checked, so a unit with a broken clock can be played.
bool ToStamp(const std::string& text, std::array<std::uint8_t, 6>& out) {
    int v[6] = {};
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &tail) != 6) {
        return false;
    }
    v[0] -= 2000;
    for (int i = 0; i < 6; ++i) {
        if (v[i] < 0 || v[i] > 255) {
            return false;
        }
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v[i]);
    }
    return true;
}

bool ToFirmware(const std::string& text, std::array<std::uint8_t, 3>& out) {
    int v[3] = {};
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d.%d.%d%c", &v[0], &v[1], &v[2], &tail) != 3) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        if (v[i] < 0 || v[i] > 255) {
            return false;
        }
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v[i]);
    }
    return true;
}

}  // namespace

std::string DefaultAccount(int unitNr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.4d", unitNr);
    return buf;
}

std::string NumberedZone(std::uint64_t n) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03u", static_cast<unsigned>(n % 1000));
    return buf;
}

std::string DefaultImei(int unitNr) {
    return "35000000000" + DefaultAccount(unitNr);
}

std::string UsageText() {
    return "usage: unit-sim MODE [options]\n"
           "Plays GPRS units against a receiver over UDP and checks every answer.\n"
           "\n"
           "modes:\n"
           "  one      send a single frame built from the options below\n"
           "  load     --units N at a total --rate R datagrams/s for --duration D s\n"
           "  storm    --units N all starting within --window W ms (after an outage)\n"
           "  flood    closed loop: each of --units N units sends its next frame the\n"
           "           moment the last one is answered (or given up), for --duration D s;\n"
           "           N frames are always in flight, so the rate is the receiver's own\n"
           "  blast    open loop from one socket: --type frames of --unit (each with the\n"
           "           next FrameID), or random datagrams with --junk N, sent as fast as\n"
           "           they go for --duration D s without waiting for answers; the\n"
           "           answers are counted. Plays a flood from one address\n"
           "  respond  answer like a receiver on --port, for trying the modes above\n"
           "\n"
           "common:\n"
           "  --host ADDR         receiver address (127.0.0.1)\n"
           "  --port N            receiver UDP port (33665)\n"
           "  --timeout MS        wait for an answer before sending again (1000)\n"
           "  --retries N         transmissions after the first before giving up (3)\n"
           "  --verbose           print every datagram sent and received\n"
           "\n"
           "frame (one; load and storm take the Event fields as their template):\n"
           "  --type T            event|settime|changenr|pingimei|ping|gsm (ping)\n"
           "  --unit N            unit number 0..9999 (1)\n"
           "  --frame-id N        FrameID 0..65535 (1)\n"
           "  --encr N            EncrMarker byte 0..255 (0)\n"
           "  --account XXXX      account, up to 4 characters (unit number)\n"
           "  --event QCCC        qualifier and Contact ID code, 4 characters (1602)\n"
           "  --partition PP      up to 2 characters (00)\n"
           "  --zone ZZZ          up to 3 characters (000)\n"
           "  --time 'Y-M-D h:m:s'  event time as sent, unchecked (local clock)\n"
           "  --imei DIGITS       up to 15 characters (35000000000 + unit number)\n"
           "  --fw A.B.C          firmware version bytes (1.0.0)\n"
           "  --level N           GSM level byte (20)\n"
           "\n"
           "load, storm and flood:\n"
           "  --units N           number of units (10)\n"
           "  --first-unit N      number of the first unit (1)\n"
           "  --rate R            load: datagrams per second, all units together (100)\n"
           "  --duration D        load, flood, blast: seconds (10)\n"
           "  --events-percent P  share of Events, the rest are Pings (load 20, storm 100,\n"
           "                      flood 0)\n"
           "  --window W          storm: milliseconds in which all units start (1000)\n"
           "  --frames-per-unit N storm: frames each unit sends, one after another (1)\n"
           "  --seed N            storm: spread of the start times; blast: the junk (1)\n"
           "  --max-sockets N     sockets at most; units share them beyond that (1024)\n"
           "  --numbered-zones    each Event's zone is its number in the run: 001, 002, ...\n"
           "                      (after 999 comes 000), to check order and gaps at the\n"
           "                      monitoring software\n"
           "  --show N            lost or wrong frames printed one by one, at most (10)\n"
           "\n"
           "blast:\n"
           "  --junk N            random datagrams of N bytes (1..65507) instead of frames\n"
           "\n"
           "respond:\n"
           "  --drop-every N      leave every N-th datagram unanswered (0 = none)\n"
           "  --duration D        stop after D seconds (runs until interrupted)\n"
           "\n"
           "The last line is 'summary key=value ...'. Exit code 0 when every frame was\n"
           "answered correctly, 1 when one was lost, refused or answered wrongly,\n"
           "2 for a usage error. A blast expects answers to be missing: its summary\n"
           "reads 'summary sent=.. answers=.. acks=.. nacks=.. other=.. rate=..\n"
           "send_waits=..' and it exits 0.\n";
}

ParseResult ParseOptions(const std::vector<std::string>& args) {
    ParseResult r;
    Options o;
    if (args.empty()) {
        r.error = "no mode given";
        return r;
    }
    if (args[0] == "--help" || args[0] == "-h") {
        r.help = true;
        return r;
    }
    const std::map<std::string, Mode> modes = {{"one", Mode::One},     {"load", Mode::Load},
                                               {"storm", Mode::Storm}, {"flood", Mode::Flood},
                                               {"blast", Mode::Blast}, {"respond", Mode::Respond}};
    const auto mode = modes.find(args[0]);
    if (mode == modes.end()) {
        r.error = "unknown mode '" + args[0] + "'";
        return r;
    }
    o.mode = mode->second;

    long long n = 0;
    auto integer = [&n](long long lo, long long hi) {
        return [&n, lo, hi](const std::string& v) { return ToInt(v, lo, hi, n); };
    };
    auto text = [](std::string& field, std::size_t maxLen, bool exact) {
        return [&field, maxLen, exact](const std::string& v) {
            if (v.size() > maxLen || (exact && v.size() != maxLen) || v.empty()) {
                return false;
            }
            field = v;
            return true;
        };
    };
    // Each option: how its value is read, and where it goes once read.
    struct Rule {
        std::function<bool(const std::string&)> read;
        std::function<void()> store;
    };
    const auto none = [] {};
    const std::map<std::string, Rule> rules = {
        {"--host", {text(o.host, 255, false), none}},
        {"--port", {integer(1, 65535), [&] { o.port = static_cast<std::uint16_t>(n); }}},
        {"--timeout", {integer(1, 600000), [&] { o.timeoutMs = static_cast<int>(n); }}},
        {"--retries", {integer(0, 100), [&] { o.retries = static_cast<int>(n); }}},
        {"--show", {integer(0, 1000000), [&] { o.show = static_cast<int>(n); }}},
        {"--type",
         {[&](const std::string& v) {
              const auto k = KindFromName(v);
              if (k) {
                  o.type = *k;
              }
              return k.has_value();
          },
          none}},
        {"--unit", {integer(0, 9999), [&] { o.unit = static_cast<int>(n); }}},
        {"--frame-id", {integer(0, 65535), [&] { o.frameId = static_cast<int>(n); }}},
        {"--encr", {integer(0, 255), [&] { o.encrMarker = static_cast<std::uint8_t>(n); }}},
        {"--account", {text(o.account, 4, false), none}},
        {"--event", {text(o.event, 4, true), none}},
        {"--partition", {text(o.partition, 2, false), none}},
        {"--zone", {text(o.zone, 3, false), none}},
        {"--imei", {text(o.imei, 15, false), none}},
        {"--fw", {[&](const std::string& v) { return ToFirmware(v, o.fw); }, none}},
        {"--level", {integer(0, 255), [&] { o.level = static_cast<std::uint8_t>(n); }}},
        {"--time",
         {[&](const std::string& v) {
              std::array<std::uint8_t, 6> t{};
              if (!ToStamp(v, t)) {
                  return false;
              }
              o.time = t;
              return true;
          },
          none}},
        {"--units", {integer(1, 10000), [&] { o.units = static_cast<int>(n); }}},
        {"--first-unit", {integer(0, 9999), [&] { o.firstUnit = static_cast<int>(n); }}},
        {"--rate", {[&](const std::string& v) { return ToDouble(v, o.rate); }, none}},
        {"--duration",
         {[&](const std::string& v) { return ToDouble(v, o.duration); },
          [&] { o.durationGiven = true; }}},
        {"--events-percent", {integer(0, 100), [&] { o.eventsPercent = static_cast<int>(n); }}},
        {"--window", {integer(0, 3600000), [&] { o.windowMs = static_cast<int>(n); }}},
        {"--frames-per-unit", {integer(1, 100000), [&] { o.framesPerUnit = static_cast<int>(n); }}},
        {"--seed", {integer(0, 0xFFFFFFFFLL), [&] { o.seed = static_cast<std::uint32_t>(n); }}},
        {"--max-sockets", {integer(1, 100000), [&] { o.maxSockets = static_cast<int>(n); }}},
        {"--drop-every", {integer(0, 1000000), [&] { o.dropEvery = static_cast<int>(n); }}},
        {"--junk", {integer(1, 65507), [&] { o.junkBytes = static_cast<int>(n); }}},
    };

    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "--help" || name == "-h") {
            r.help = true;
            return r;
        }
        if (name == "--verbose" || name == "-v") {
            o.verbose = true;
            continue;
        }
        if (name == "--numbered-zones") {
            o.numberedZones = true;
            continue;
        }
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const auto rule = rules.find(name);
        if (rule == rules.end()) {
            r.error = "unknown option '" + name + "'";
            return r;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                r.error = "option " + name + " needs a value";
                return r;
            }
            value = args[++i];
        }
        if (!rule->second.read(*value)) {
            r.error = "bad value '" + *value + "' for " + name;
            return r;
        }
        rule->second.store();
    }

    if ((o.mode == Mode::Load || o.mode == Mode::Storm || o.mode == Mode::Flood) &&
        o.firstUnit + o.units - 1 > 9999) {
        r.error = "units " + DefaultAccount(o.firstUnit) + " and the " +
                  std::to_string(o.units - 1) + " after it do not fit in 0000..9999";
        return r;
    }
    if (o.mode == Mode::Load && o.rate * o.duration > 100'000'000) {
        r.error = "--rate times --duration is more than 100000000 datagrams";
        return r;
    }
    if (o.eventsPercent < 0) {
        o.eventsPercent = o.mode == Mode::Storm ? 100 : o.mode == Mode::Flood ? 0 : 20;
    }
    r.options = o;
    return r;
}

}  // namespace unitsim
