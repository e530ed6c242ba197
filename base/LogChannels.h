#pragma once

#include "base/Log.h"

namespace korvan {

// The three channels every subsystem reports through. All-messages has no
// LED or sound; Important-messages and Errors copy every entry to it.
struct LogChannels {
    LogChannel& all;
    LogChannel& imp;
    LogChannel& err;
};

}  // namespace korvan
