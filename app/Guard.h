#pragma once

#include <exception>
#include <string>

#include "app/Log.h"

// ReportError that never throws: when the Errors channel itself cannot be
// written (an unusable log folder), the report goes to stderr instead, so a
// handler that reports can always carry on.
void ReportErrorSafely(TLog& errors, const std::string& procName, const std::string& what) noexcept;

// Runs a timer or event handler's body under one guard: an error is reported
// as "ERR in <procName>, Error Msg: <what>" and the handler returns normally.
template <typename Body>
void GuardedHandler(TLog& errors, const char* procName, Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        ReportErrorSafely(errors, procName, e.what());
    } catch (...) {
        ReportErrorSafely(errors, procName, "Unknown error");
    }
}
