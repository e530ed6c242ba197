#pragma once

#include <exception>

#include "base/Log.h"

namespace korvan {

// The one guard for handlers, timer ticks and operator commands: an error
// escaping `body` is reported as "ERR in <procName>, Error Msg: <what>" on
// the Errors channel and the handler returns normally. Log entries never
// throw, so what reaches the guard is a real failure of the work itself.
template <typename Body>
void Guarded(LogChannel& errors, const char* procName, Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        ReportError(errors, procName, e.what());
    } catch (...) {
        ReportError(errors, procName, "Unknown error");
    }
}

}  // namespace korvan
