#pragma once

#include <QAbstractItemModelTester>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fakes/ReceiverRig.h"
#include "qt/MainWindow.h"
#include "registry/UnitDb.h"

using namespace korvan;

// One record of the unit database, as a test writes it before start-up.
struct DbUnit {
    int nr = 0;
    std::uint8_t flags = 0;  // troubleStagesSent
    std::string imei;
    std::string ip = "10.0.0.1";
    int port = 4000;
    TDateTime first = 0;
    TDateTime last = 0;
    std::string fw;  // 3 raw bytes or empty
    std::string account;
};

// 400000 bytes with the given records marked used.
inline std::string DatabaseBytes(const std::vector<DbUnit>& units) {
    std::string db(kUnitDbFileSize, '\0');
    auto put = [&](int nr, int offset, const Bytes& b) {
        for (std::size_t i = 0; i < b.size(); ++i)
            db[static_cast<std::size_t>(nr * kUnitDbRecordSize + offset) + i] =
                static_cast<char>(b[i]);
    };
    for (const DbUnit& u : units) {
        put(u.nr, dbrec::kUsed, Bytes{1});
        put(u.nr, dbrec::kCommTr, Bytes{u.flags});
        if (!u.imei.empty())
            put(u.nr, dbrec::kImei, EncodeImei(u.imei));
        put(u.nr, dbrec::kIp, EncodeIp(u.ip));
        put(u.nr, dbrec::kPort, EncodePort(u.port));
        put(u.nr, dbrec::kFirstMsg, EncodeDbTime(u.first));
        put(u.nr, dbrec::kLastMsg, EncodeDbTime(u.last));
        if (!u.fw.empty())
            put(u.nr, dbrec::kFirmware, EncodeFirmware(u.fw));
        if (!u.account.empty())
            put(u.nr, dbrec::kAccount, EncodeAccount(u.account));
    }
    return db;
}

// The real main window on the receiver core of a rig: a settable clock with
// manual timers, a recording UDP endpoint and serial device, answered
// dialogs, and a fresh folder as the executable's folder.
class WindowHarness : public ::testing::Test, public ReceiverRig {
protected:
    // 2026-12-08 10:30:00 local time.
    static constexpr TDateTime kStart = 46364.4375;
    static constexpr double kSecond = 1.0 / 86400.0;
    WindowHarness() : ReceiverRig(kStart) {}

    void WriteDatabase(const std::vector<DbUnit>& units) {
        dir.Write("RAZUDovuve.db", DatabaseBytes(units));
    }

    void Create() {
        window.reset();
        window =
            std::make_unique<MainWindow>(Build(), WindowServices{clock, clock, sound, dialogs});
        ASSERT_TRUE(window->Create());
    }

    // The errors channel's memo lines without their time stamps.
    std::vector<std::string> ErrorTexts() const {
        window->MemoErr()->Flush();
        std::vector<std::string> out;
        for (const QString& l : window->MemoErr()->toPlainText().split('\n', Qt::SkipEmptyParts))
            out.push_back(l.mid(22).toStdString());
        return out;
    }

    // Collects what the Qt model testers find wrong (they warn "FAIL! ...").
    class ModelFailures {
    public:
        ModelFailures() {
            Found().clear();
            previous_ = qInstallMessageHandler(
                [](QtMsgType, const QMessageLogContext&, const QString& msg) {
                    if (msg.contains("FAIL!"))
                        Found().push_back(msg.toStdString());
                });
        }
        ~ModelFailures() { qInstallMessageHandler(previous_); }
        ModelFailures(const ModelFailures&) = delete;
        ModelFailures& operator=(const ModelFailures&) = delete;
        static std::vector<std::string>& Found() {
            static std::vector<std::string> found;
            return found;
        }

    private:
        QtMessageHandler previous_;
    };

    std::unique_ptr<MainWindow> window;
};
