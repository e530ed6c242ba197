#include "app/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <system_error>

namespace {

std::string NativeSeparators(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

void CreateFolders(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) throw std::system_error(ec, "Cannot create folder " + folder);
}

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
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

void WriteAll(int fd, const std::string& data, const std::string& path) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            errno = err;
            ThrowErrno("Cannot write log file " + path);
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

TLog::TLog(const IClock& clock, ISound* sound, const std::string& exeDir, IMemo* memo,
           const std::string& folder, const std::string& fileName, std::uint8_t fileMode, TLed* led,
           const std::string& soundName, TLog* parent)
    : clock_(clock),
      sound_(sound),
      fileMode_(fileMode),
      memo_(memo),
      led_(led),
      folder_(exeDir + NativeSeparators(folder)),
      fileName_(fileName),
      parent_(parent),
      exeDir_(exeDir) {
    if (!soundName.empty()) soundPath_ = exeDir_ + "Wav/" + soundName + ".wav";
    if (folder_.empty() || folder_.back() != '/') folder_ += '/';
    CreateFolders(folder_);
}

void TLog::ComputeFilePath(TDateTime now) {
    // The path depends on the date alone, so it is built again only when the
    // day has changed since the last entry.
    const std::int64_t day = FloorDiv(TotalMs(now), 86400000);
    if (day == pathDay_ && !filePath_.empty()) return;
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

const std::string& TLog::StampOf(TDateTime now) {
    const std::int64_t second = FloorDiv(TotalMs(now), 1000);
    if (second != stampSecond_) {
        stamp_ = NowStampText(now);
        stampSecond_ = second;
    }
    return stamp_;
}

void TLog::AddMsg(const std::string& message) {
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
        if (blankLineFlag_) memo_->Append("");
        memo_->Append(lastLine_);
    }

    ComputeFilePath(now);
    WriteFile();

    if (led_ != nullptr) led_->StartBlink();
    if (sound_ != nullptr && !soundPath_.empty()) sound_->PlayAsync(soundPath_);
    if (parent_ != nullptr) parent_->AddMsg(message);
}

void TLog::WriteFile() {
    // The folder is checked at every entry, so a deleted log folder comes
    // back. An open that succeeds proves it is there; only when the open
    // fails are the folders created (or their failure reported) before the
    // one retry, so every error reads as it would with the check first.
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = ::open(filePath_.c_str(), flags, 0644);
    if (fd < 0) {
        CreateFolders(folder_);
        fd = ::open(filePath_.c_str(), flags, 0644);
    }
    if (fd < 0) ThrowErrno("Cannot open log file " + filePath_);
    std::string data;
    data.reserve(lastLine_.size() + 4);
    if (blankLineFlag_) {
        data += "\r\n";
        blankLineFlag_ = false;
    }
    data += lastLine_;
    data += "\r\n";
    WriteAll(fd, data, filePath_);
    if (::close(fd) != 0) ThrowErrno("Cannot close log file " + filePath_);
}

void ReportError(TLog& errors, const std::string& procName, const std::string& what) {
    errors.AddMsg("ERR in " + procName + ", Error Msg: " + what);
}
