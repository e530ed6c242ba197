#pragma once

#include <cstdint>
#include <string>

#include "base/Led.h"
#include "base/LogDiskFloor.h"
#include "platform/Clock.h"
#include "platform/Views.h"

namespace korvan {

// One log channel. Every entry is stamped with the local time, shown in the
// channel's memo, appended to its file at once (open, append, close), starts
// the LED and the sound and is passed on to the parent channel.
//
// A message whose first character is NUL is set apart by an empty line in
// the memo and the file; the parent receives the marker too.
//
// A log entry never stops the work it describes: when the file cannot be
// written (a full disk, a read-only or missing folder) the entry still
// reaches the memo, the LED, the sound and the parent; the outage is told
// once, on stderr and as one error entry on the outage channel (the Errors
// channel), and every later entry tries the file again, so logging resumes
// by itself when the file can be written again.
//
// With a disk floor set, no file is written while the disk holding the log
// folder is short of room (LogDiskFloor); the pause and its end are told
// once each, on stderr and on the outage channel.
class LogChannel {
public:
    // `folder` is relative to `exeDir` and may use "\" as separator
    // ("Log\All msg"). `fileMode`: 0 = folder/name.log, 1 = folder/date.log,
    // 2 = folder/name date.log, with date = yyyy-mm-dd. Empty `soundName`
    // means no sound. Creates the folder with its parents when it can; a
    // folder that cannot be created is an outage like any other.
    LogChannel(const IClock& clock, ISound* sound, const std::string& exeDir, IMemo* memo,
               const std::string& folder, const std::string& fileName, std::uint8_t fileMode,
               AlertLed* led, const std::string& soundName, LogChannel* parent);

    // Where a file outage is told ("ERR in AddMsg, Error Msg: ..."); may be
    // the channel itself.
    void SetOutageChannel(LogChannel* channel) { outage_ = channel; }
    // The floor shared by the channels writing to one disk; nullptr: none.
    void SetDiskFloor(LogDiskFloor* floor) { floor_ = floor; }

    // Adds one entry. Never throws.
    void AddMsg(const std::string& message) noexcept;

    const std::string& LastLine() const { return lastLine_; }
    const std::string& FilePath() const { return filePath_; }
    const std::string& Folder() const { return folder_; }
    const std::string& SoundPath() const { return soundPath_; }
    // True while the file cannot be written.
    bool FileFailing() const { return failing_; }

private:
    void ComputeFilePath(TDateTime now);
    // Appends the entry to the file; the error text, or empty on success.
    std::string WriteFile();
    void TellOutage(const std::string& what) noexcept;
    // Whether the file may be written now; tells a pause or its end.
    bool DiskHasRoom() noexcept;
    // NowStampText(now), built once per second: a burst of entries within
    // one second shares the text.
    const std::string& StampOf(TDateTime now);

    const IClock& clock_;
    ISound* sound_;
    std::uint8_t fileMode_;
    IMemo* memo_;
    AlertLed* led_;
    std::string folder_;
    std::string fileName_;
    std::string filePath_;
    std::string soundPath_;
    LogChannel* parent_;
    LogChannel* outage_ = nullptr;
    LogDiskFloor* floor_ = nullptr;
    std::string lastLine_;
    bool blankLineFlag_ = false;
    bool failing_ = false;
    // The second and the day the cached stamp and file path belong to.
    std::int64_t stampSecond_ = INT64_MIN;
    std::string stamp_;
    std::int64_t pathDay_ = INT64_MIN;
};

// "ERR in %s, Error Msg: %s" on the Errors channel. Never throws.
void ReportError(LogChannel& errors, const std::string& procName, const std::string& what) noexcept;

}  // namespace korvan
