#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Types.h"
#include "registry/Units.h"

namespace korvan {

// Records every field write in order and passes it on to `next` when set.
// `failAtWrite` makes that write (0-based) fail like a broken disk, so a test
// can prove what happens before and after.
class FakeUnitStore : public IUnitStore {
public:
    struct Write {
        int nr;
        int offset;
        Bytes bytes;
        bool operator==(const Write&) const = default;
        // Shown as "nr@offset:HEX" when an expectation fails.
        friend void PrintTo(const Write& w, std::ostream* os) {
            *os << w.nr << "@" << w.offset << ":";
            for (const auto b : w.bytes) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02X", b);
                *os << hex;
            }
        }
    };

    void WriteUnitField(int nr, int offset, const Bytes& bytes) override {
        if (failAtWrite >= 0 && static_cast<std::size_t>(failAtWrite) == writes.size()) {
            failAtWrite = -1;
            throw std::system_error(EIO, std::generic_category(), "Cannot write unit record");
        }
        writes.push_back({nr, offset, bytes});
        if (next != nullptr)
            next->WriteUnitField(nr, offset, bytes);
    }

    std::vector<Write> writes;
    int failAtWrite = -1;
    IUnitStore* next = nullptr;
};

}  // namespace korvan
