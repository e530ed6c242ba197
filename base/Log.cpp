#include "base/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "base/File.h"

namespace korvan {

namespace {

std::string NativeSeparators(std::string path) {
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    return path;
}

// The time as whole milliseconds, rounded as the date-time texts round it:
// every text of the same second (or day) is computed from the same value.
std::int64_t TotalMs(TDateTime dt) {
    return static_cast<std::int64_t>(std::round(dt * kMsPerDay));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

LogChannel::LogChannel(const IClock& clock, ISound* sound, const std::string& exeDir, IMemo* memo,
                       const std::string& folder, const std::string& fileName,
                       std::uint8_t fileMode, AlertLed* led, const std::string& soundName,
                       LogChannel* parent)
    : clock_(clock),
      sound_(sound),
      fileMode_(fileMode),
      memo_(memo),
      led_(led),
      folder_(exeDir + NativeSeparators(folder)),
      fileName_(fileName),
      parent_(parent) {
    if (!soundName.empty())
        soundPath_ = exeDir + "Wav/" + soundName + ".wav";
    if (folder_.empty() || folder_.back() != '/')
        folder_ += '/';
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);  // an outage if it fails
}

void LogChannel::ComputeFilePath(TDateTime now) {
    // The path depends on the date alone, so it is built again only when the
    // day has changed since the last entry.
    const std::int64_t day = FloorDiv(TotalMs(now), 86400000);
    if (day == pathDay_ && !filePath_.empty())
        return;
    switch (fileMode_) {
        case 0:
            filePath_ = folder_ + fileName_ + ".log";
            break;
        case 1:
            filePath_ = folder_ + DateFileText(now) + ".log";
            break;
        case 2:
            filePath_ = folder_ + fileName_ + " " + DateFileText(now) + ".log";
            break;
        default:
            break;  // keeps the previous path
    }
    pathDay_ = day;
}

const std::string& LogChannel::StampOf(TDateTime now) {
    const std::int64_t second = FloorDiv(TotalMs(now), 1000);
    if (second != stampSecond_) {
        stamp_ = NowStampText(now);
        stampSecond_ = second;
    }
    return stamp_;
}

void LogChannel::AddMsg(const std::string& message) noexcept {
    try {
        std::string text = message;
        if (!text.empty() && text[0] == '\0') {
            text.erase(0, 1);
            blankLineFlag_ = true;
        }
        const TDateTime now = clock_.Now();
        const std::string& stamp = StampOf(now);
        lastLine_.clear();
        lastLine_.reserve(stamp.size() + 3 + text.size());
        lastLine_ += stamp;
        lastLine_ += " - ";
        lastLine_ += text;

        if (memo_ != nullptr) {
            if (blankLineFlag_)
                memo_->Append("");
            memo_->Append(lastLine_);
        }

        ComputeFilePath(now);
        const bool room = DiskHasRoom();
        const std::string failure = room ? WriteFile() : "";
        blankLineFlag_ = false;  // the gap belongs to this entry alone
        if (!room) {
            // Not an outage of the file: it is left alone on purpose.
        } else if (failure.empty()) {
            if (failing_)
                std::fprintf(stderr, "Log file written again: %s\n", filePath_.c_str());
            failing_ = false;
        } else if (!failing_) {
            // Marked before it is told, so a report on this very channel
            // cannot tell it again.
            failing_ = true;
            TellOutage(failure);
        }

        if (led_ != nullptr)
            led_->StartBlink();
        if (sound_ != nullptr && !soundPath_.empty())
            sound_->PlayAsync(soundPath_);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Log entry not shown: %s\n", e.what());
    }
    if (parent_ != nullptr)
        parent_->AddMsg(message);
}

void LogChannel::TellOutage(const std::string& what) noexcept {
    std::fprintf(stderr, "Log entry not written: %s\n", what.c_str());
    if (outage_ != nullptr)
        ReportError(*outage_, "AddMsg", what);
}

bool LogChannel::DiskHasRoom() noexcept {
    if (floor_ == nullptr)
        return true;
    try {
        const LogDiskFloor::Change change = floor_->Look();
        if (change != LogDiskFloor::Change::None) {
            // The floor has already changed its state, so the entry below
            // (on this or another channel) does not tell it again.
            const std::string text = floor_->Text(change);
            std::fprintf(stderr, "%s\n", text.c_str());
            if (outage_ != nullptr)
                outage_->AddMsg(text);
        }
        return floor_->Room();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Log disk floor not checked: %s\n", e.what());
        return true;
    }
}

std::string LogChannel::WriteFile() {
    // The folder is checked at every entry, so a deleted log folder comes
    // back. An open that succeeds proves it is there; only when the open
    // fails are the folders created before the one retry.
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = ::open(filePath_.c_str(), flags, 0640);
    if (fd < 0) {
        std::error_code ec;
        std::filesystem::create_directories(folder_, ec);
        if (ec)
            return "Cannot create folder " + folder_ + ": " + ec.message();
        fd = ::open(filePath_.c_str(), flags, 0640);
    }
    if (fd < 0)
        return "Cannot open log file " + filePath_ + ": " + std::strerror(errno);
    std::string data;
    data.reserve(lastLine_.size() + 4);
    if (blankLineFlag_)
        data += "\r\n";
    data += lastLine_;
    data += "\r\n";
    const int err = WriteFully(fd, data.data(), data.size());
    const int closeErr = ::close(fd) != 0 ? errno : 0;
    if (err != 0)
        return "Cannot write log file " + filePath_ + ": " + std::strerror(err);
    if (closeErr != 0)
        return "Cannot close log file " + filePath_ + ": " + std::strerror(closeErr);
    return "";
}

void ReportError(LogChannel& errors, const std::string& procName,
                 const std::string& what) noexcept {
    try {
        errors.AddMsg("ERR in " + procName + ", Error Msg: " + what);
    } catch (...) {
        std::fprintf(stderr, "ERR in %s, Error Msg: %s\n", procName.c_str(), what.c_str());
    }
}

}  // namespace korvan
