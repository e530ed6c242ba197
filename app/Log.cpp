#include "app/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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
}

void TLog::AddMsg(const std::string& message) {
    std::string text = message;
    if (!text.empty() && text[0] == '\0') {
        text.erase(0, 1);
        blankLineFlag_ = true;
    }
    const TDateTime now = clock_.Now();
    lastLine_ = NowStampText(now) + " - " + text;

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
    // The folder is checked at every entry, so a deleted log folder comes back.
    CreateFolders(folder_);
    const int fd = ::open(filePath_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
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
