#include "app/Guard.h"

#include <cstdio>

void ReportErrorSafely(TLog& errors, const std::string& procName, const std::string& what) noexcept {
    try {
        ReportError(errors, procName, what);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ERR in %s, Error Msg: %s (not logged: %s)\n", procName.c_str(),
                     what.c_str(), e.what());
    } catch (...) {
        std::fprintf(stderr, "ERR in %s, Error Msg: %s (not logged)\n", procName.c_str(),
                     what.c_str());
    }
}
