#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "base/Log.h"
#include "base/LogChannels.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeViews.h"

using namespace korvan;

// Stops the run with a readable line when a property of the system does not
// hold; libFuzzer then keeps the input that broke it.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

// What the settings and database fuzz targets share for the whole process: a
// folder standing in for the executable's folder (in memory when /dev/shm is
// there, so the many small log appends cost no disk), a settable clock and
// the three real log channels writing into that folder. The datagram targets
// drive the whole receiver core instead (FuzzReceiver.h).
//
// Each input starts at the same wall-clock time, so the log texts an input
// produces do not depend on the inputs before it. The log files are removed
// every kInputsPerLogReset inputs: a long run never fills the disk.
class FuzzEnv {
public:
    static constexpr int kInputsPerLogReset = 256;
    // 2026-12-08 10:30:02 local time.
    static constexpr TDateTime kStart = 46364.43752314815;

    FuzzEnv()
        : dir_(MakeFolder()),
          clock_(kStart),
          all_(clock_, nullptr, dir_, &allMemo_, "Log\\All msg", "", 1, nullptr, "", nullptr),
          imp_(clock_, nullptr, dir_, &impMemo_, "Log", "Imp_msg", 0, nullptr, "", &all_),
          err_(clock_, nullptr, dir_, &errMemo_, "Log", "Errors", 0, nullptr, "", &all_) {}

    ~FuzzEnv() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    FuzzEnv(const FuzzEnv&) = delete;
    FuzzEnv& operator=(const FuzzEnv&) = delete;

    // Call at the start of every input.
    void StartInput() {
        clock_.SetWall(kStart);
        ClearMemos();
        if (++inputs_ % kInputsPerLogReset == 0) {
            std::error_code ec;
            std::filesystem::remove_all(dir_ + "Log", ec);  // each channel makes it anew
        }
    }

    void ClearMemos() {
        allMemo_.Clear();
        impMemo_.Clear();
        errMemo_.Clear();
    }

    // The folder, ending with "/".
    const std::string& Dir() const { return dir_; }
    FakeScheduler& Clock() { return clock_; }
    LogChannels Logs() { return LogChannels{all_, imp_, err_}; }
    const FakeMemo& AllMemo() const { return allMemo_; }
    const FakeMemo& ImpMemo() const { return impMemo_; }
    const FakeMemo& ErrMemo() const { return errMemo_; }

    // Replaces the file `name` in the folder with `size` bytes from `data`.
    void WriteFile(const std::string& name, const std::uint8_t* data, std::size_t size) const {
        std::ofstream f(dir_ + name, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        f.close();
        FUZZ_CHECK(f.good());
    }

    std::string ReadFile(const std::string& name) const {
        std::ifstream f(dir_ + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

    // Where the fuzz targets make their folders: /dev/shm when it can be
    // written, else the system's temporary folder.
    static std::string ScratchBase() {
        const std::string shm = "/dev/shm";
        if (::access(shm.c_str(), W_OK | X_OK) == 0)
            return shm;
        return std::filesystem::temp_directory_path().string();
    }

private:
    static std::string MakeFolder() {
        std::string tmpl = ScratchBase() + "/korvan-fuzz-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        return tmpl + "/";
    }

    std::string dir_;
    FakeScheduler clock_;
    FakeMemo allMemo_;
    FakeMemo impMemo_;
    FakeMemo errMemo_;
    LogChannel all_;
    LogChannel imp_;
    LogChannel err_;
    long inputs_ = 0;
};

// Every memo entry is one line of printable text: nothing a unit or a file
// supplies may break a log line apart or carry control characters into it.
inline void CheckLogLines(const FakeMemo& memo) {
    for (const std::string& entry : memo.entries) {
        for (const char c : entry) {
            const auto u = static_cast<unsigned char>(c);
            FUZZ_CHECK(u >= 0x20 && u != 0x7F);
        }
    }
}
