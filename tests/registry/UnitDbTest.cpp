#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "fakes/FakeScheduler.h"
#include "fakes/TempDir.h"
#include "fakes/TestLogChannels.h"
#include "registry/UnitDb.h"
#include "registry/Units.h"

using namespace korvan;

namespace {

// 2026-12-08 10:30:00, 850041000 seconds after 2000-01-01.
constexpr TDateTime kNow = 46364.4375;
const std::string kNowBytes("\xA8\x98\xAA\x32", 4);
constexpr std::size_t kSize = 400000;

const std::string kNoDb = "No DB find. Creating new database ..";
const std::string kCreated = "New database created";
const std::string kConnecting = "Connecting to existing database .. ";
const std::string kConnected = "Connected to database";
const std::string kCreateFailed = "ERROR creating new DB. Application will not run.";
const std::string kBadSize =
    "ERROR!! Database size is invalid. Please repair or delete database (RAZUDovuve.db) and "
    "launch the application again";
const std::string kConnectFailed = "ERROR connecting to DB. Application will not run.";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (const char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(c));
        out += buf;
    }
    return out;
}

class UnitDbTest : public ::testing::Test {
protected:
    std::string DbPath() const { return dir.Path() + "RAZUDovuve.db"; }
    // The whole file in one read.
    std::string File() const {
        std::ifstream f(DbPath(), std::ios::binary | std::ios::ate);
        std::string data(static_cast<std::size_t>(std::max<std::streamoff>(0, f.tellg())), '\0');
        f.seekg(0);
        f.read(data.data(), static_cast<std::streamsize>(data.size()));
        return data;
    }
    std::string Record(const std::string& file, int nr) const {
        return file.substr(static_cast<std::size_t>(nr) * 40, 40);
    }
    std::unique_ptr<UnitDb> NewDb() { return std::make_unique<UnitDb>(ch.Channels(), DbPath()); }
    void ClearLogs() { ch.ClearMemos(); }
    // A zero file with records placed by the test.
    static std::string ZeroFile() { return std::string(kSize, '\0'); }
    static void Put(std::string& file, int nr, int offset, const std::string& bytes) {
        file.replace(static_cast<std::size_t>(nr) * 40 + static_cast<std::size_t>(offset),
                     bytes.size(), bytes);
    }

    TempDir dir;
    FakeScheduler clock{kNow};
    TestLogChannels ch{clock, clock};
    UnitTable table;
    std::unique_ptr<Registry> registry = std::make_unique<Registry>(ch.Channels(), table);
};

// --- Field encodings ---------------------------------------------------------

TEST(UnitDbEncoding, IpTextConvertsOctetByOctet) {
    struct Case {
        const char* text;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"192.168.1.20", 0xC0A80114u}, {"10.0.0.5", 0x0A000005u},  {"", 0u},
        {"1.2.3", 0x01020300u},                                     // a missing octet counts as 0
        {"1.x.3.4", 0x01000304u},                                   // so does a non-numeric one
        {"1. 2.3.4", 0x01000304u},     {"300.0.0.1", 0x2C000001u},  // low 8 bits
        {"-1.0.0.0", 0xFF000000u},     {"1.2.3.4.5", 0x01020304u}, {"255.255.255.255", 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value, IpTextToValue(c.text)) << c.text;
    }
    EXPECT_EQ("192.168.1.20", IpValueToText(0xC0A80114u));
    EXPECT_EQ("0.0.0.0", IpValueToText(0));
    EXPECT_EQ((Bytes{20, 1, 168, 192}), EncodeIp("192.168.1.20"));  // d, c, b, a
    EXPECT_EQ((Bytes{0x41, 0x9C}), EncodePort(40001));
    EXPECT_EQ((Bytes{0xFF, 0xFF}), EncodePort(65535));
}

TEST(UnitDbEncoding, TimesAreWholeSecondsFromTheBaseDate) {
    struct Case {
        TDateTime dt;
        std::int32_t seconds;
    };
    const Case cases[] = {
        {kDbBaseDate, 0},
        {kNow, 850041000},
        {kNow + 1.0 / 86400.0, 850041001},                        // 10:30:01 keeps its second
        {kNow + 1.999 / 86400.0, 850041001},                      // the fraction is cut off
        {kDbBaseDate - 1.0, -86400},                              // before 2000: negative
        {kDbBaseDate - 1.5 / 86400.0, -2},                        // cut toward the past there too
        {25569.0, -946684800},                                    // 1970-01-01
        {kDbBaseDate + 2147483647.0 / 86400.0, 2147483647},       // 2068-01-19 03:14:07
        {kDbBaseDate - 2147483648.0 / 86400.0, -2147483647 - 1},  // 1931-12-13 20:45:52
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.seconds, DbSecondsOf(c.dt)) << DateTimeText(c.dt);
        // Read back as the same second: a time before 2000 is not turned
        // into one after it.
        EXPECT_EQ(DateTimeText(DateTimeOfDbSeconds(c.seconds)), DateTimeText(c.dt));
    }
    EXPECT_EQ(kNow, DateTimeOfDbSeconds(850041000));
    EXPECT_EQ((Bytes{0xA8, 0x98, 0xAA, 0x32}), EncodeDbTime(kNow));
    EXPECT_EQ((Bytes{0x80, 0xBC, 0x92, 0xC7}), EncodeDbTime(25569.0));  // -946684800
}

TEST(UnitDbEncoding, TimesTheRecordCannotHoldAreRefusedNotFolded) {
    const std::string holds =
        " cannot be stored in the database: it holds 13.12.1931 20:45:52 to "
        "19.01.2068 03:14:07";
    struct Case {
        TDateTime dt;
        std::string what;
    };
    const Case cases[] = {
        {kDbBaseDate + 2147483648.0 / 86400.0, "Time 19.01.2068 03:14:08" + holds},
        {kDbBaseDate - 2147483649.0 / 86400.0, "Time 13.12.1931 20:45:51" + holds},
        {0.0, "Time 30.12.1899" + holds},
        {1e300, "Time (no time)" + holds},
        {std::numeric_limits<double>::quiet_NaN(), "Time (no time)" + holds},
    };
    for (const auto& c : cases) {
        try {
            EncodeDbTime(c.dt);
            ADD_FAILURE() << "no exception for " << c.what;
        } catch (const std::out_of_range& e) {
            EXPECT_EQ(c.what, e.what());
        }
        EXPECT_THROW(DbSecondsOf(c.dt), std::out_of_range);
    }
}

TEST(UnitDbEncoding, ImeiIsA64BitNumber) {
    EXPECT_EQ(352099001761481, ImeiTextToValue("352099001761481"));
    EXPECT_EQ(1, ImeiTextToValue("000000000000001"));
    EXPECT_EQ(0, ImeiTextToValue(""));
    EXPECT_EQ((Bytes{0xC9, 0xFE, 0xEC, 0x6F, 0x3B, 0x40, 0x01, 0x00}),
              EncodeImei("352099001761481"));
    for (const char* bad : {"35209900176148A", " 352099001761481", "3520990017614.1", "abc"}) {
        EXPECT_THROW(ImeiTextToValue(bad), std::invalid_argument) << bad;
    }
    try {
        EncodeImei(std::string("35209900\x01", 9));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("'35209900?' is not a valid IMEI number", e.what());
    }

    EXPECT_EQ("", ImeiValueToText(0));
    EXPECT_EQ("000000000000001", ImeiValueToText(1));
    EXPECT_EQ("352099001761481", ImeiValueToText(352099001761481));
    EXPECT_EQ("123456789012345", ImeiValueToText(1234567890123456));  // cut to 15
}

TEST(UnitDbEncoding, FirmwareAndAccountKeepTheirBytes) {
    EXPECT_EQ((Bytes{1, 2, 15}), EncodeFirmware("\x01\x02\x0F"));
    EXPECT_EQ((Bytes{0, 0, 0}), EncodeFirmware(std::string(3, '\0')));
    EXPECT_EQ((Bytes{'1', 0x02, '3', '4'}), EncodeAccount(std::string("1\x02"
                                                                      "34")));
    EXPECT_EQ((Bytes{'1', '2', 0, 0}), EncodeAccount("12"));
    EXPECT_EQ("AB", TrimBlanksAndControls(std::string(" \0AB\r\n", 6)));
    EXPECT_EQ(std::string("A\0B", 3), TrimBlanksAndControls(std::string("A\0B", 3)));
}

// --- Creating and opening ----------------------------------------------------

TEST_F(UnitDbTest, MissingFileIsCreatedZeroFilledAndOpened) {
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    EXPECT_EQ((std::vector<std::string>{kNoDb, kCreated, kConnecting, kConnected}), ch.All());
    EXPECT_TRUE(ch.Err().empty());
    EXPECT_EQ(ZeroFile(), File());
    EXPECT_TRUE(db->IsOpen());

    EXPECT_TRUE(db->ReadDB_and_FillU_onStartUp(*registry, kNow, 1'000'000));
    EXPECT_TRUE(table.Empty());
    EXPECT_FALSE(registry->IsUnitKnown(0));
    EXPECT_EQ(4u, ch.All().size());
}

// The new file is synced and renamed into place; nobody but the owner and
// the group may read it.
TEST_F(UnitDbTest, NewFileIsOwnerReadWriteGroupReadOnly) {
    const mode_t previous = ::umask(022);
    auto db = NewDb();
    const bool connected = db->ConnDB();
    ::umask(previous);
    ASSERT_TRUE(connected);
    struct stat st {};
    ASSERT_EQ(0, ::stat(DbPath().c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_FALSE(dir.Exists("RAZUDovuve.db.new"));
    // A database file already there keeps what the operator gave it.
    db.reset();
    ASSERT_EQ(0, ::chmod(DbPath().c_str(), 0600));
    ASSERT_TRUE(NewDb()->ConnDB());
    ASSERT_EQ(0, ::stat(DbPath().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST_F(UnitDbTest, ExistingFileIsOpenedWithoutCreation) {
    dir.Write("RAZUDovuve.db", ZeroFile());
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    EXPECT_EQ((std::vector<std::string>{kConnecting, kConnected}), ch.All());
}

TEST_F(UnitDbTest, FileOfAnyOtherSizeIsRefusedAndLeftUntouched) {
    for (const std::size_t size :
         {std::size_t{399999}, std::size_t{400001}, std::size_t{0}, std::size_t{40}}) {
        SCOPED_TRACE(size);
        ClearLogs();
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i % 251);
        if (size > 80)
            content[40] = 1;  // a used record 1 that must not be loaded
        dir.Write("RAZUDovuve.db", content);

        auto db = NewDb();
        EXPECT_FALSE(db->ConnDB());
        EXPECT_EQ((std::vector<std::string>{kConnecting, kBadSize, kConnectFailed}), ch.All());
        EXPECT_EQ((std::vector<std::string>{kBadSize, kConnectFailed}), ch.Err());
        db.reset();
        EXPECT_EQ(content, File());
    }
}

TEST_F(UnitDbTest, CreationFailureStopsStartUp) {
    struct Case {
        const char* name;
        std::string path;
    };
    std::filesystem::create_directory(DbPath());  // a folder where the file belongs
    const Case cases[] = {
        {"folder in the way", DbPath()},
        {"parent folder missing", dir.Path() + "missing/RAZUDovuve.db"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClearLogs();
        UnitDb db(ch.Channels(), c.path);
        EXPECT_FALSE(db.ConnDB());
        const auto all = ch.All();
        ASSERT_EQ(3u, all.size());
        EXPECT_EQ(kNoDb, all[0]);
        EXPECT_TRUE(
            StartsWith(all[1], "ERR in CreateNewDB, Error Msg: Cannot create database " + c.path))
            << all[1];
        EXPECT_EQ(kCreateFailed, all[2]);
        EXPECT_EQ(2u, ch.Err().size());
        EXPECT_FALSE(db.IsOpen());
    }
    EXPECT_FALSE(dir.Exists("missing"));
    EXPECT_TRUE(std::filesystem::is_directory(DbPath()));
}

TEST_F(UnitDbTest, SecondOpenInTheSameProcessIsRefused) {
    auto first = NewDb();
    ASSERT_TRUE(first->ConnDB());
    ClearLogs();

    auto second = NewDb();
    EXPECT_FALSE(second->ConnDB());
    const auto err = ch.Err();
    ASSERT_EQ(2u, err.size());
    EXPECT_TRUE(StartsWith(err[0], "ERR in ReadExistDB, Error Msg: Database " + DbPath() +
                                       " is in use by another process"))
        << err[0];
    EXPECT_EQ(kConnectFailed, err[1]);
    EXPECT_EQ((std::vector<std::string>{kConnecting, err[0], kConnectFailed}), ch.All());
    EXPECT_FALSE(second->IsOpen());

    // Once the holder is gone the file is free again.
    first.reset();
    second.reset();
    ClearLogs();
    auto third = NewDb();
    EXPECT_TRUE(third->ConnDB());
}

TEST_F(UnitDbTest, AnotherProcessCannotOpenAHeldFile) {
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child: a second receiver on the same file. Exit code 0 means
        // it was refused with the expected lines.
        int code = 3;
        try {
            FakeScheduler childClock{kNow};
            TestLogChannels childCh(childClock, childClock);
            UnitDb other(childCh.Channels(), DbPath());
            const bool connected = other.ConnDB();
            const auto err = childCh.Err();
            code = connected ? 1
                   : (err.size() == 2 && StartsWith(err[0], "ERR in ReadExistDB, Error Msg: ") &&
                      err[1] == kConnectFailed)
                       ? 0
                       : 2;
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(ZeroFile(), File());
}

// --- Writing -----------------------------------------------------------------

TEST_F(UnitDbTest, EachWriteLandsAtItsPlace) {
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    struct Case {
        int nr;
        int offset;
        std::string bytes;
    };
    const Case cases[] = {
        {0, 0, "\x01"},
        {1, 13, "\x14\x01\xA8\xC0"},
        {5000, 5, std::string("\xC9\xFE\xEC\x6F\x3B\x40\x01\x00", 8)},
        {9999, 34, "ABCDEF"},
        {9999, 0, std::string(1, '\x01')},
        {17, 2, "\x05"},
    };
    std::string expected = ZeroFile();
    for (const auto& c : cases) {
        db->WriteUnitField(c.nr, c.offset, Bytes(c.bytes.begin(), c.bytes.end()));
        Put(expected, c.nr, c.offset, c.bytes);
        EXPECT_EQ(expected, File()) << c.nr << "@" << c.offset;
    }
}

TEST_F(UnitDbTest, WritesOutsideARecordAreRefused) {
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    struct Case {
        int nr, offset;
        std::size_t size;
    };
    const Case cases[] = {{10000, 0, 1}, {-1, 0, 1}, {0, -1, 1}, {9999, 39, 2}, {0, 0, 41}};
    for (const auto& c : cases) {
        EXPECT_THROW(db->WriteUnitField(c.nr, c.offset, Bytes(c.size, 7)), std::out_of_range)
            << c.nr << "@" << c.offset;
    }
    EXPECT_EQ(ZeroFile(), File());
}

TEST_F(UnitDbTest, RegistryChangesReachTheRecordByteForByte) {
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    registry->SetStore(db.get());

    UnitMessage m;
    m.unitText = "0012";
    m.now = kNow + 0.75 / 86400.0;  // 10:30:00.750
    m.nowMonoMs = 2'000'000;
    m.senderIP = "192.168.1.20";
    m.senderPort = 40001;
    m.msgAccount = "1234";
    m.oldAccount = "";
    registry->SetAccountFromMsg(12, m.msgAccount);
    registry->UpdateUnitOnMessage(12, m);

    m.msgAccount.clear();
    m.oldAccount = "1234";
    m.imei = "352099001761481";
    m.fwRaw = "\x01\x02\x0F";
    m.fwText = "1.2.15";
    registry->UpdateUnitOnMessage(12, m);
    registry->MarkCommTrouble(12, 3);

    const std::string expected = std::string("\x01\x00\x04\x00\x00", 5) +
                                 std::string("\xC9\xFE\xEC\x6F\x3B\x40\x01\x00", 8) +  // IMEI
                                 "\x14\x01\xA8\xC0" +     // 192.168.1.20
                                 "\x41\x9C" +             // 40001
                                 kNowBytes + kNowBytes +  // whole seconds
                                 "\x01\x02\x0F" + "1234" + std::string(6, '\0');
    ASSERT_EQ(40u, expected.size());
    const std::string file = File();
    ASSERT_EQ(kSize, file.size());
    EXPECT_EQ(Hex(expected), Hex(Record(file, 12)));
    std::string rest = file;
    Put(rest, 12, 0, std::string(40, '\0'));
    EXPECT_EQ(ZeroFile(), rest);
}

TEST_F(UnitDbTest, DeletedUnitLeavesFortyZeroBytes) {
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    registry->SetStore(db.get());
    UnitMessage m;
    m.unitText = "0012";
    m.now = kNow;
    m.senderIP = "10.0.0.5";
    m.senderPort = 5000;
    registry->UpdateUnitOnMessage(12, m);
    m.unitText = "0013";
    registry->UpdateUnitOnMessage(13, m);
    const std::string record13 = Record(File(), 13);
    ASSERT_NE(std::string(40, '\0'), Record(File(), 12));

    table.SetCurrent(table.Find(12));
    registry->DeleteUnit(12);
    const std::string file = File();
    EXPECT_EQ(kSize, file.size());
    EXPECT_EQ(std::string(40, '\0'), Record(file, 12));
    EXPECT_EQ(record13, Record(file, 13));
}

TEST_F(UnitDbTest, FailingDescriptorRaisesToTheCaller) {
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    // Swap the database's descriptor for a read-only one.
    const int readOnly = ::open(DbPath().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    ASSERT_EQ(db->Descriptor(), ::dup2(readOnly, db->Descriptor()));
    ::close(readOnly);

    try {
        db->WriteUnitField(12, 0, Bytes{1});
        FAIL() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(EBADF, e.code().value());
        EXPECT_TRUE(StartsWith(e.what(), "Cannot write unit 0012 to database " + DbPath()))
            << e.what();
    }

    registry->SetStore(db.get());
    UnitMessage m;
    m.unitText = "0012";
    m.now = kNow;
    m.senderIP = "10.0.0.5";
    EXPECT_THROW(registry->UpdateUnitOnMessage(12, m), std::system_error);
    EXPECT_EQ(ZeroFile(), File());
}

// A wall clock before 2000 is stored as such and read back as such; one
// the record cannot hold is reported and leaves the stored time as it was.
TEST_F(UnitDbTest, ClockBefore2000IsStoredAsItIsAndOneOutOfRangeIsReported) {
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    registry->SetStore(db.get());
    const TDateTime in1970 = DateTimeOfDbSeconds(-946684800 + 36000);  // 01.01.1970 10:00:00
    UnitMessage m;
    m.unitText = "0012";
    m.now = in1970;
    m.senderIP = "10.0.0.5";
    m.senderPort = 5000;
    registry->UpdateUnitOnMessage(12, m);
    EXPECT_EQ(Hex(std::string("\x20\x49\x93\xC7", 4)), Hex(Record(File(), 12).substr(23, 4)));

    m.now = kDbBaseDate + 2147483648.0 / 86400.0;  // one second too late
    m.nowMonoMs = 9'000'000;
    try {
        registry->UpdateUnitOnMessage(12, m);
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_EQ(0u, std::string(e.what()).rfind("Time 19.01.2068 03:14:08 cannot be stored", 0))
            << e.what();
    }
    EXPECT_EQ(9'000'000, registry->Unit(12).lastMessageMonoMs);  // heard all the same
    EXPECT_FALSE(registry->OwesFile(12));                        // and not tried again

    UnitTable table2;
    Registry reloaded(ch.Channels(), table2);
    db.reset();
    db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    ASSERT_TRUE(db->ReadDB_and_FillU_onStartUp(reloaded, kNow, 0));
    EXPECT_EQ(in1970, reloaded.Unit(12).firstMessage);
    EXPECT_EQ(in1970, reloaded.Unit(12).lastMessage);
}

TEST_F(UnitDbTest, UnopenedDatabaseRaisesOnWrite) {
    auto db = NewDb();
    EXPECT_THROW(db->WriteUnitField(0, 0, Bytes{1}), std::system_error);
}

// --- Loading -----------------------------------------------------------------

TEST_F(UnitDbTest, LoadFillsUsedRecordsOnly) {
    std::string file = ZeroFile();
    // Unit 12: everything set, last heard ten minutes before the restart.
    Put(file, 12, 0, std::string("\x01\x01\x05", 3));
    Put(file, 12, 5, std::string("\xC9\xFE\xEC\x6F\x3B\x40\x01\x00", 8));
    Put(file, 12, 13, "\x14\x01\xA8\xC0\x41\x9C");
    Put(file, 12, 19, kNowBytes);
    Put(file, 12, 23, "\xD0\x96\xAA\x32");  // 850040528: 10:22:08
    Put(file, 12, 27,
        "\x01\x02\x0F"
        "1234");
    // Units 1..6 used with nothing else; 7 is marked 2 and so free.
    for (int nr = 1; nr <= 6; ++nr) Put(file, nr, 0, "\x01");
    Put(file, 7, 0, std::string("\x02\x00\x07", 3));
    Put(file, 7, 30, "7777");
    // Unit 20: IMEI 0 and firmware 0.0.0 read back as empty.
    Put(file, 20, 0, "\x01");
    Put(file, 20, 30, "2020");
    dir.Write("RAZUDovuve.db", file);

    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    const TDateTime nowWall = DateTimeOfDbSeconds(850040528) + 10.0 / (24 * 60);
    ASSERT_TRUE(db->ReadDB_and_FillU_onStartUp(*registry, nowWall, 7'000'000));

    const UnitRecord& u = registry->Unit(12);
    EXPECT_TRUE(u.used);
    EXPECT_TRUE(u.reserved);
    EXPECT_EQ(5, u.troubleStagesSent);
    EXPECT_EQ("352099001761481", u.imei);
    EXPECT_EQ("192.168.1.20", u.address);
    EXPECT_EQ(40001, u.port);
    EXPECT_EQ(kNow, u.firstMessage);
    EXPECT_EQ(DateTimeOfDbSeconds(850040528), u.lastMessage);
    EXPECT_EQ(7'000'000 - 600'000, u.lastMessageMonoMs);  // ten minutes of silence already
    EXPECT_EQ("\x01\x02\x0F", u.firmwareRaw);
    EXPECT_EQ("1.2.15", u.firmwareVersion);
    EXPECT_EQ("1234", u.account);
    EXPECT_EQ(
        "0012 352099001761481 192.168.1.20:40001 08.12.2026 10:30:00 08.12.2026 10:22:08 1.2.15 "
        "1234",
        u.rowText);

    const UnitRecord& z = registry->Unit(20);
    EXPECT_FALSE(z.reserved);
    EXPECT_EQ("", z.imei);
    EXPECT_EQ("", z.firmwareRaw);
    EXPECT_EQ("", z.firmwareVersion);
    EXPECT_EQ("0.0.0.0", z.address);
    EXPECT_EQ(kDbBaseDate, z.firstMessage);
    EXPECT_EQ("0020  0.0.0.0:0 01.01.2000 01.01.2000  2020", z.rowText);

    EXPECT_FALSE(registry->IsUnitKnown(7));
    EXPECT_EQ("", registry->Unit(7).account);
    EXPECT_EQ("0007", registry->FindFirstFreeUnitNr());

    std::vector<int> rows;
    for (int i = 0; i < table.RowCount(); ++i) rows.push_back(table.RowAt(i));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6, 12, 20}), rows);
    EXPECT_EQ(0, table.Current());
    EXPECT_TRUE(ch.Err().empty());
}

TEST_F(UnitDbTest, AccountsAreTrimmedOnLoad) {
    struct Case {
        std::string stored;
        std::string loaded;
    };
    const Case cases[] = {
        {"1234", "1234"},
        {std::string("123 ", 4), "123"},
        {std::string("12\0\0", 4), "12"},
        {std::string(" \t12", 4), "12"},
        {std::string("\0AB\0", 4), "AB"},
        {std::string("A\0B ", 4), std::string("A\0B", 3)},
        {std::string("    ", 4), ""},
        {std::string("\x7F"
                     "AB\x01",
                     4),
         "\x7F"
         "AB"},
    };
    std::string file = ZeroFile();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Put(file, 100 + static_cast<int>(i), 0, "\x01");
        Put(file, 100 + static_cast<int>(i), 30, cases[i].stored);
    }
    dir.Write("RAZUDovuve.db", file);
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    ASSERT_TRUE(db->ReadDB_and_FillU_onStartUp(*registry, kNow, 0));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].loaded, registry->Unit(100 + static_cast<int>(i)).account) << i;
    }
}

TEST_F(UnitDbTest, ReloadGivesWholeSecondsAndEmptyZeroValues) {
    {
        auto db = NewDb();
        ASSERT_TRUE(db->ConnDB());
        registry->SetStore(db.get());
        UnitMessage m;
        m.unitText = "0005";
        m.now = kNow + 0.75 / 86400.0;
        m.senderIP = "10.1.2.3";
        m.senderPort = 65535;
        m.imei = "000000000000042";
        m.fwRaw = std::string(3, '\0');  // a real version in memory ...
        m.fwText = "0.0.0";
        m.msgAccount = "5555";
        registry->SetAccountFromMsg(5, m.msgAccount);
        registry->UpdateUnitOnMessage(5, m);
        EXPECT_EQ("0.0.0", registry->Unit(5).firmwareVersion);
    }
    UnitTable table2;
    Registry reloaded(ch.Channels(), table2);
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    ASSERT_TRUE(db->ReadDB_and_FillU_onStartUp(reloaded, kNow, 0));
    const UnitRecord& u = reloaded.Unit(5);
    EXPECT_EQ(kNow, u.firstMessage);  // the 0.75 s are gone
    EXPECT_EQ(kNow, u.lastMessage);
    EXPECT_EQ("000000000000042", u.imei);
    EXPECT_EQ("10.1.2.3", u.address);
    EXPECT_EQ(65535, u.port);
    EXPECT_EQ("", u.firmwareVersion);  // ... but none after a restart
    EXPECT_EQ("", u.firmwareRaw);
    EXPECT_EQ("5555", u.account);
    EXPECT_EQ(0, u.lastMessageMonoMs);
    EXPECT_EQ(5, table2.CurrentUnitNr());
}

// Silence at start-up is the distance to the stored last message, on
// either side of now: a time in the future (the clock was set back since)
// must not keep the unit from ever being reported.
TEST_F(UnitDbTest, SilenceAtLoadIsTheDistanceToTheLastMessageEitherWay) {
    struct Case {
        const char* name;
        std::int32_t lastSeconds;
        std::int64_t monoMs;
    };
    const std::int64_t nowMono = 7'000'000;
    const Case cases[] = {
        {"ten minutes ago", 850041000 - 600, nowMono - 600'000},
        {"ten minutes ahead", 850041000 + 600, nowMono - 600'000},
        {"a year ahead", 850041000 + 365 * 86400, nowMono - 365LL * 86'400'000},
        {"1970 (a clock that was reset)", -946684800, nowMono - (850041000LL + 946684800LL) * 1000},
        {"just now", 850041000, nowMono},
    };
    std::string file = ZeroFile();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const int nr = 30 + static_cast<int>(i);
        Put(file, nr, 0, "\x01");
        const Bytes b = EncodeDbTime(DateTimeOfDbSeconds(cases[i].lastSeconds));
        Put(file, nr, 23, std::string(b.begin(), b.end()));
    }
    dir.Write("RAZUDovuve.db", file);
    auto db = NewDb();
    ASSERT_TRUE(db->ConnDB());
    ASSERT_TRUE(db->ReadDB_and_FillU_onStartUp(*registry, kNow, nowMono));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].monoMs, registry->Unit(30 + static_cast<int>(i)).lastMessageMonoMs)
            << cases[i].name;
    }
}

TEST_F(UnitDbTest, ReadFailureAtLoadIsReported) {
    struct Case {
        const char* name;
        bool connect;
        std::string messageStart;
    };
    const Case cases[] = {
        {"never opened", false,
         "ERR in ReadDB_and_FillU_onStartUp, Error Msg: Cannot read database "},
        {"shrunk while open", true,
         "ERR in ReadDB_and_FillU_onStartUp, Error Msg: Database " + DbPath() +
             " ended after 100 of 400000 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.Write("RAZUDovuve.db", ZeroFile());
        auto db = NewDb();
        if (c.connect) {
            ASSERT_TRUE(db->ConnDB());
            ASSERT_EQ(0, ::truncate(DbPath().c_str(), 100));
        }
        ClearLogs();
        EXPECT_FALSE(db->ReadDB_and_FillU_onStartUp(*registry, kNow, 0));
        const auto err = ch.Err();
        ASSERT_EQ(1u, err.size());
        EXPECT_TRUE(StartsWith(err[0], c.messageStart)) << err[0];
        EXPECT_TRUE(table.Empty());
    }
}

}  // namespace
