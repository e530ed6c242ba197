#pragma once

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "monitoring/SendJournal.h"

namespace korvan {

// A send journal file in memory. Each operation fails on demand (its next
// `fail...` calls, -1: all of them); `synced` is what the disk holds after
// the last sync or replace, `syncs` counts the syncs.
class FakeJournalFile : public JournalFile {
public:
    explicit FakeJournalFile(std::string path = "/data/RAZUDovuve.journal")
        : path_(std::move(path)) {}

    const std::string& Path() const override { return path_; }
    std::string ReadAll() override { return Check(failRead, EIO), bytes; }
    std::string ReadAt(std::size_t at, std::size_t size) override {
        return Check(failRead, EIO), at < bytes.size() ? bytes.substr(at, size) : std::string();
    }
    std::string Replace(const Chunks& next) override {
        Check(failReplace);
        std::string b;
        for (std::string c = next(); !c.empty(); c = next()) b += c;
        bytes = synced = b;
        return folderNotSynced;
    }
    void Append(const std::string& b) override { Check(failAppend), bytes += b; }
    void Truncate(std::size_t size) override { Check(failAppend), bytes.resize(size); }
    void Sync() override {
        ++syncs;
        if (failSync != 0 && dropUnsynced)
            bytes = synced;  // the kernel dropped the pages it could not write
        Check(failSync, EIO), synced = bytes;
    }
    void Reserve(std::size_t) override { Check(failReserve, EOPNOTSUPP); }
    bool AtPath() override { return !moved; }
    std::string KeepCopy(const std::string& stamp, const std::string& b) override {
        return Check(failCopy), copies.push_back(b), path_ + "." + stamp + ".bad";
    }
    void Remove() override { bytes.clear(), synced.clear(); }

    std::string bytes;
    std::string synced;
    int failRead = 0, failReplace = 0, failAppend = 0, failSync = 0, failReserve = 0, failCopy = 0;
    std::string folderNotSynced;  // what Replace tells of a folder it could not sync
    bool moved = false;           // another file was put at the path
    bool dropUnsynced = false;    // a failed sync loses what was written since the last
    int syncs = 0;
    std::vector<std::string> copies;

private:
    void Check(int& fail, int err = ENOSPC) {
        if (fail == 0)
            return;
        fail -= fail > 0 ? 1 : 0;
        throw std::system_error(err, std::generic_category(), "Cannot use " + path_);
    }
    std::string path_;
};

}  // namespace korvan
