#pragma once

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "monitoring/SendJournal.h"

namespace korvan {

// A send journal file in memory. Each operation fails on demand (the next
// `fail...` calls of it, -1: all) as a full disk or a bad sector fails it;
// syncs are counted, and `synced` holds what the last sync (or replace) has
// put on the disk.
class FakeJournalFile : public JournalFile {
public:
    explicit FakeJournalFile(std::string path = "/data/RAZUDovuve.journal")
        : path_(std::move(path)) {}

    const std::string& Path() const override { return path_; }
    std::string ReadAll() override {
        Check(failRead, EIO, "Cannot read send buffer journal ");
        return bytes;
    }
    void Replace(const std::string& b) override {
        Check(failReplace, ENOSPC, "Cannot write send buffer journal ");
        bytes = synced = b;
        ++replaces;
        moved = false;
    }
    void Append(const std::string& b) override {
        Check(failAppend, ENOSPC, "Cannot write send buffer journal ");
        bytes += b;
    }
    void Truncate(std::size_t size) override {
        Check(failAppend, ENOSPC, "Cannot cut send buffer journal ");
        bytes.resize(size);
    }
    void Sync() override {
        ++syncs;
        Check(failSync, EIO, "Cannot sync send buffer journal ");
        synced = bytes;
    }
    void Reserve(std::size_t size) override {
        Check(failReserve, EOPNOTSUPP, "Cannot keep room for send buffer journal ");
        reserved = size;
    }
    bool AtPath() override { return !moved; }
    std::string KeepCopy(const std::string& stamp, const std::string& b) override {
        Check(failCopy, ENOSPC, "Cannot keep a copy of send buffer journal ");
        copies.push_back(b);
        return path_ + "." + stamp + ".bad";
    }
    void Remove() override { bytes.clear(), synced.clear(); }

    std::string bytes;   // the file as written
    std::string synced;  // the file as the disk holds it
    int failRead = 0, failReplace = 0, failAppend = 0, failSync = 0, failReserve = 0, failCopy = 0;
    bool moved = false;  // another file was put at the path
    int syncs = 0;
    int replaces = 0;
    std::size_t reserved = 0;
    std::vector<std::string> copies;

private:
    void Check(int& fail, int err, const char* what) {
        if (fail == 0)
            return;
        if (fail > 0)
            --fail;
        throw std::system_error(err, std::generic_category(), what + path_);
    }
    std::string path_;
};

}  // namespace korvan
