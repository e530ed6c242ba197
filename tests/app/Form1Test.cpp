#include <gtest/gtest.h>

#include <filesystem>

#include "app/Form1.h"
#include "device/MessageProcessor.h"
#include "monitoring/SendBuffer.h"
#include "monitoring/SerialChannel.h"
#include "registry/UnitDb.h"
#include "settings/SettingsStore.h"
#include "fakes/FakeDiskSpace.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeSerialDevice.h"
#include "fakes/FakeUdp.h"
#include "fakes/FakeViews.h"
#include "fakes/TempDir.h"

namespace {

class FakeFormView : public IFormView {
public:
    void SetAppStartedText(const std::string& t) override { appStarted = t; }
    void ShowPage(int i) override { pages.push_back(i); }
    void RepaintUnitsGrid() override { ++repaints; }
    void Terminate() override { terminated = true; }
    std::string appStarted;
    std::vector<int> pages;
    int repaints = 0;
    bool terminated = false;
};

// The window logic on fakes, in a fresh folder.
class FormTest : public ::testing::Test {
protected:
    TempDir dir;
    FakeScheduler clock{46364.4375};
    FakeDialogs dialogs;
    FakeSound sound;
    FakeUdpFactory udp;
    FakeSerialDevice serial;
    FakeMemo memoAll, memoImp, memoErr;
    FakeLedView ledImp, ledErr;
    FakeFormView view;
    FakeDiskSpace disk;
    std::unique_ptr<TForm1> form;

    void Create() {
        form = std::make_unique<TForm1>(FormPlatform{clock, clock, dialogs, sound, udp, serial, memoAll,
                                                     memoImp, memoErr, ledImp, ledErr, view, dir.Path(),
                                                     &disk});
        ASSERT_TRUE(form->FormCreate());
    }
    std::vector<std::string> AllFileMessages() {
        std::vector<std::string> out;
        const std::string log = dir.Read("Log/All msg/2026-12-08.log");
        std::size_t start = 0;
        while (start < log.size()) {
            const std::size_t end = log.find("\r\n", start);
            std::string line = log.substr(start, end - start);
            out.push_back(line.size() >= 22 ? line.substr(22) : line);
            start = end + 2;
        }
        return out;
    }
};

TEST_F(FormTest, StartUpWithoutSettingsFileOrDatabase) {
    Create();
    EXPECT_TRUE(form->StartUpDone());
    const std::vector<std::string> expected = {
        "Application started..",
        "No DB find. Creating new database ..",
        "New database created",
        "Connecting to existing database .. ",
        "Connected to database",
        "UDP Server Listen Port 33665",
        "Add Ping",
    };
    EXPECT_EQ(expected, AllFileMessages());
    EXPECT_EQ(std::vector<std::uint16_t>{33665}, udp.opened);
    EXPECT_TRUE(serial.openCalls.empty());  // closed until a port is stored
    EXPECT_EQ("08.12.2026 10:30:00 ", view.appStarted);
    EXPECT_EQ(std::vector<int>{0}, view.pages);
    EXPECT_EQ(400000u, dir.Read("RAZUDovuve.db").size());
    EXPECT_TRUE(form->TimerCommTr()->IsActive());
    EXPECT_TRUE(form->TimerPingDR()->IsActive());
    EXPECT_EQ(30000, form->TimerPingDR()->Interval());
    EXPECT_TRUE(form->Buffer()->TimerSBSend().IsActive());
    // The heartbeat waits in the buffer: the serial port is closed.
    EXPECT_EQ(1, form->Buffer()->SendBufferCount());
}

TEST_F(FormTest, WrongSizeDatabaseRunsWithoutReceiving) {
    dir.Write("RAZUDovuve.db", std::string(399999, '\0'));
    dir.Write("RAZUDovuve.ini", "40000\r\nCOM7\r\n15\r\n60\r\n240\r\n7\r\n30\r\n");
    Create();
    EXPECT_TRUE(form->StartUpDone());
    EXPECT_TRUE(udp.opened.empty());
    EXPECT_FALSE(form->TimerCommTr()->IsActive());
    const std::string errors = dir.Read("Log/Errors.log");
    EXPECT_NE(std::string::npos, errors.find(" - ERROR!! Database size is invalid. Please repair or delete database "
                                             "(RAZUDovuve.db) and launch the application again\r\n"));
    EXPECT_NE(std::string::npos, errors.find(" - ERROR connecting to DB. Application will not run.\r\n"));
    EXPECT_EQ(399999u, dir.Read("RAZUDovuve.db").size());
    // The heartbeat applied from the settings file still runs.
    EXPECT_TRUE(form->TimerPingDR()->IsActive());
    clock.Advance(60000 * 10);
    EXPECT_TRUE(udp.opened.empty());
}

TEST_F(FormTest, EscapingStartUpErrorShowsMessageAndTerminates) {
    dir.Write("Log", "a file where the log folder belongs");
    form = std::make_unique<TForm1>(FormPlatform{clock, clock, dialogs, sound, udp, serial, memoAll, memoImp,
                                                 memoErr, ledImp, ledErr, view, dir.Path(), &disk});
    EXPECT_FALSE(form->FormCreate());
    EXPECT_FALSE(form->StartUpDone());
    ASSERT_EQ(1u, dialogs.shown.size());
    EXPECT_EQ(0u, dialogs.shown[0].rfind("M:Error in proc TForm1.FormCreate: ", 0));
    EXPECT_TRUE(view.terminated);
    EXPECT_TRUE(udp.opened.empty());
}

TEST_F(FormTest, CloseQuestionDependsOnWaitingLines) {
    Create();
    // One heartbeat waiting counts as empty.
    dialogs.confirmAnswers = {false};
    EXPECT_FALSE(form->FormClose());
    EXPECT_EQ("Q:Close application?", dialogs.shown.back());

    form->Buffer()->QueueLine("1077           @    ");
    dialogs.confirmAnswers = {false};
    EXPECT_FALSE(form->FormClose());
    EXPECT_EQ("Q:There are 2 unsent messages in Internal Buffer.\r\nIf you close this application, unsent "
              "messages will lose.\r\nDo you still want to close the application?",
              dialogs.shown.back());
    EXPECT_EQ(std::string::npos, dir.Read("Log/All msg/2026-12-08.log").find("Application closed"));

    dialogs.confirmAnswers = {true};
    EXPECT_TRUE(form->FormClose());
    EXPECT_NE(std::string::npos, dir.Read("Log/All msg/2026-12-08.log").find(" - Application closed\r\n\r\n"));
}

TEST_F(FormTest, HousekeepingClearsAllMsgMemoAbove1000Lines) {
    Create();
    EXPECT_TRUE(form->Timer_ev5min().IsActive());
    EXPECT_EQ(300000, form->Timer_ev5min().Interval());
    struct Case {
        int lines;
        bool cleared;
    };
    for (const Case c : {Case{1000, false}, Case{1001, true}}) {
        memoAll.Clear();
        for (int i = 0; i < c.lines; ++i) memoAll.Append("x");
        memoImp.Append("kept");
        form->Timer_ev5minTimer();
        if (c.cleared) {
            EXPECT_EQ(std::vector<std::string>{" Automatically cleared ..\r\n"}, memoAll.entries);
        } else {
            EXPECT_EQ(1000, memoAll.LineCount());
        }
        EXPECT_FALSE(memoImp.lines.empty());
    }
    // Housekeeping writes no log file entry.
    EXPECT_EQ(std::string::npos, dir.Read("Log/All msg/2026-12-08.log").find("Automatically"));
}

TEST_F(FormTest, FiveMinuteTickWarnsOfLowDiskSpaceOnImpMsgOncePerCrossing) {
    Create();
    const std::string where = " on the disk holding " + dir.Path() + "Log and " + dir.Path() + "RAZUDovuve.db";
    const std::string low = "!! Low disk space: 800.0 MiB free of 40.0 GiB" + where;
    const std::string back = "Disk space is back: 5.0 GiB free of 40.0 GiB" + where;
    disk.space = {std::uint64_t{800} << 20, std::uint64_t{40} << 30, 1};

    clock.Advance(300000);
    EXPECT_GT(disk.queries, 0);
    ASSERT_EQ(1u, memoImp.lines.size());
    EXPECT_EQ(low, memoImp.lines[0].substr(22));
    EXPECT_EQ(low, memoAll.lines.back().substr(22));
    EXPECT_TRUE(form->LedImp().IsBlinking());
    EXPECT_EQ(std::vector<std::string>{dir.Path() + "Wav/impmsg.wav"}, sound.played);
    EXPECT_NE(std::string::npos, dir.Read("Log/Imp_msg.log").find(" - " + low + "\r\n"));

    clock.Advance(300000);  // still low: no second warning
    EXPECT_EQ(1u, memoImp.lines.size());

    disk.space.freeBytes = std::uint64_t{5} << 30;
    clock.Advance(300000);
    ASSERT_EQ(2u, memoImp.lines.size());
    EXPECT_EQ(back, memoImp.lines[1].substr(22));
    EXPECT_EQ(2u, sound.played.size());
}

TEST_F(FormTest, TabsStopTheirLeds) {
    Create();
    form->Logs().imp.AddMsg("important");
    form->Logs().err.AddMsg("error");
    EXPECT_TRUE(form->LedImp().IsBlinking());
    EXPECT_TRUE(form->LedErr().IsBlinking());
    form->xpTabSheet_imp_msgShow();
    EXPECT_FALSE(form->LedImp().IsBlinking());
    EXPECT_TRUE(form->LedErr().IsBlinking());
    form->xpTabSheet_errorsShow();
    EXPECT_FALSE(form->LedErr().IsBlinking());
    // The next entry starts it again, also while its tab is shown.
    form->Logs().imp.AddMsg("again");
    EXPECT_TRUE(form->LedImp().IsBlinking());
    const int scrolls = memoAll.scrolls;
    form->xpTabSheet_All_msgShow();
    EXPECT_EQ(scrolls + 1, memoAll.scrolls);
}

}  // namespace
