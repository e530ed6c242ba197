#pragma once

#include <cstdint>
#include <string>

#include "app/Led.h"
#include "platform/Clock.h"
#include "platform/Views.h"

// One log channel. Every entry is stamped with the local time, shown in the
// channel's memo, appended to its file at once (open, append, close), starts
// the LED and the sound and is passed on to the parent channel.
//
// A message whose first character is NUL is set apart by an empty line in
// the memo and the file; the parent receives the marker too.
class TLog {
public:
    // `folder` is relative to `exeDir` and may use "\" as separator
    // ("Log\All msg"). `fileMode`: 0 = folder/name.log, 1 = folder/date.log,
    // 2 = folder/name date.log, with date = yyyy-mm-dd. Empty `soundName`
    // means no sound. Creates the folder with its parents; throws
    // std::system_error when that fails.
    TLog(const IClock& clock, ISound* sound, const std::string& exeDir, IMemo* memo,
         const std::string& folder, const std::string& fileName, std::uint8_t fileMode, TLed* led,
         const std::string& soundName, TLog* parent);

    // Adds one entry. Throws std::system_error when the log file cannot be
    // created, opened, written or closed; the memo line is then already
    // shown, but LED, sound and parent copy are skipped.
    void AddMsg(const std::string& message);

    const std::string& LastLine() const { return lastLine_; }
    const std::string& FilePath() const { return filePath_; }
    const std::string& Folder() const { return folder_; }
    const std::string& SoundPath() const { return soundPath_; }

private:
    void ComputeFilePath(TDateTime now);
    void WriteFile();
    // NowStampText(now), built once per second: a burst of entries within
    // one second shares the text.
    const std::string& StampOf(TDateTime now);

    const IClock& clock_;
    ISound* sound_;
    std::uint8_t fileMode_;
    IMemo* memo_;
    TLed* led_;
    std::string folder_;
    std::string fileName_;
    std::string filePath_;
    std::string soundPath_;
    TLog* parent_;
    std::string lastLine_;
    std::string exeDir_;
    bool blankLineFlag_ = false;
    // The second and the day the cached stamp and file path belong to.
    std::int64_t stampSecond_ = INT64_MIN;
    std::string stamp_;
    std::int64_t pathDay_ = INT64_MIN;
};

// "ERR in %s, Error Msg: %s" on the Errors channel.
void ReportError(TLog& errors, const std::string& procName, const std::string& what);
