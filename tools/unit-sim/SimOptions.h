#pragma once

// The command line of unit-sim.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/unit-sim/SimFrames.h"

namespace unitsim {

enum class Mode { One, Load, Storm, Flood, Blast, Respond };

struct Options {
    Mode mode = Mode::One;
    std::string host = "127.0.0.1";
    std::uint16_t port = 33665;
    int timeoutMs = 1000;
    int retries = 3;
    bool verbose = false;
    int show = 10;  // load/storm: lost and wrong frames printed one by one, at most

    // The frame of `one`, and the template of every frame of load and storm
    // (unit number, FrameID, account and IMEI are then set per unit).
    Kind type = Kind::Ping;
    int unit = 1;
    int frameId = 1;
    std::uint8_t encrMarker = 0;
    std::string account;  // empty: the unit number as four digits
    std::string event = "1602";
    std::string partition = "00";
    std::string zone = "000";
    std::string imei;  // empty: 35000000000 and the unit number
    std::array<std::uint8_t, 3> fw{1, 0, 0};
    std::uint8_t level = 20;
    std::optional<std::array<std::uint8_t, 6>> time;  // empty: the local clock

    // load, storm and flood
    int units = 10;
    int firstUnit = 1;
    double rate = 100;     // load: datagrams per second, all units together
    double duration = 10;  // load, flood, blast: seconds; respond: only when given
    bool durationGiven = false;
    int eventsPercent = -1;  // -1: 20 for load, 100 for storm, 0 for flood
    int windowMs = 1000;     // storm
    int framesPerUnit = 1;   // storm
    std::uint32_t seed = 1;
    int maxSockets = 1024;
    // Each generated Event carries its number in the run as its zone, so the
    // monitoring software's log shows whether every alarm came once, in order.
    bool numberedZones = false;

    // blast
    int junkBytes = 0;  // > 0: random datagrams of this length instead of frames

    // respond
    int dropEvery = 0;  // drop every n-th datagram unanswered; 0 = none
};

struct ParseResult {
    std::optional<Options> options;  // set when the command line is good
    bool help = false;               // --help was asked for
    std::string error;               // why it is not
};

// `args` without the program name.
ParseResult ParseOptions(const std::vector<std::string>& args);
std::string UsageText();

// The zone of the n-th Event (from 1) of a run with --numbered-zones: "%03d"
// of n modulo 1000.
std::string NumberedZone(std::uint64_t n);

// Fills the per-unit defaults: "%.4d" account, IMEI 35000000000 + "%.4d".
std::string DefaultAccount(int unitNr);
std::string DefaultImei(int unitNr);

}  // namespace unitsim
