// Writes the seed database files of the unit database fuzz target into the
// folder given as the only argument. They are made at build time from the
// real field encoders, so the repository holds no 400 KB files.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "registry/UnitDb.h"

using namespace korvan;

namespace {

using File = std::vector<std::uint8_t>;

void Put(File& file, int nr, int offset, const Bytes& bytes) {
    const std::size_t at =
        static_cast<std::size_t>(nr) * kUnitDbRecordSize + static_cast<std::size_t>(offset);
    if (file.size() < at + bytes.size())
        file.resize(at + bytes.size(), 0);
    for (std::size_t i = 0; i < bytes.size(); ++i) file[at + i] = bytes[i];
}

// A unit as the receiver itself writes one.
void PutUnit(File& file, int nr, const std::string& imei, const std::string& ip, int port,
             std::int32_t firstSeconds, std::int32_t lastSeconds, const std::string& fwRaw,
             const std::string& account, std::uint8_t commTr) {
    Put(file, nr, dbrec::kUsed, Bytes{1});
    Put(file, nr, dbrec::kCommTr, Bytes{commTr});
    Put(file, nr, dbrec::kImei, EncodeImei(imei));
    Put(file, nr, dbrec::kIp, EncodeIp(ip));
    Put(file, nr, dbrec::kPort, EncodePort(port));
    Put(file, nr, dbrec::kFirstMsg, EncodeDbTime(DateTimeOfDbSeconds(firstSeconds)));
    Put(file, nr, dbrec::kLastMsg, EncodeDbTime(DateTimeOfDbSeconds(lastSeconds)));
    Put(file, nr, dbrec::kFirmware, EncodeFirmware(fwRaw));
    Put(file, nr, dbrec::kAccount, EncodeAccount(account));
    // The record ends at its last byte, whatever the fields leave unused.
    Put(file, nr, kUnitDbRecordSize - 1, Bytes{0});
}

bool Write(const std::string& folder, const std::string& name, const File& file) {
    std::ofstream f(folder + "/" + name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    f.close();
    if (!f) {
        std::fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), name.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_db_seeds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    bool ok = true;

    ok &= Write(folder, "empty.db", File{});

    // Units 0000, 0001 and 0123 as the receiver leaves them.
    File few;
    PutUnit(few, 0, "", "10.0.0.5", 4000, 849'000'000, 849'003'600, "", "", 0);
    PutUnit(few, 1, "356938035643809", "192.168.1.20", 33665, 849'000'000, 850'000'000,
            std::string("\x01\x02\x0F", 3), "1234", 0);
    PutUnit(few, 123, "000000000000001", "255.255.255.255", 65535, 0, 0,
            std::string("\xFF\xFF\xFF", 3), "12", 7);
    ok &= Write(folder, "few-units.db", few);

    // Fields the receiver never writes: a foreign or damaged file.
    File odd;
    for (int i = 0; i < kUnitDbRecordSize; ++i) Put(odd, 0, i, Bytes{0xFF});
    Put(odd, 0, dbrec::kUsed, Bytes{1});
    Put(odd, 1, dbrec::kUsed, Bytes{2});  // not in use
    Put(odd, 2, dbrec::kUsed, Bytes{1});
    Put(odd, 2, dbrec::kAccount, Bytes{' ', '1', 0x00, 0x09});  // blanks and controls
    Put(odd, 2, dbrec::kImei, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
    Put(odd, 2, kUnitDbRecordSize - 1, Bytes{0});
    ok &= Write(folder, "odd-fields.db", odd);

    // A whole file of exactly the right size, some units spread over it.
    File full(kUnitDbFileSize, 0);
    for (int nr = 7; nr < kUnitCount; nr += 997) {
        PutUnit(full, nr, "35693803564" + std::to_string(1000 + nr % 9000), "10.1.2.3", 1000 + nr,
                800'000'000 + nr, 900'000'000 + nr, std::string("\x02\x00\x01", 3), "9876", 1);
    }
    ok &= Write(folder, "full.db", full);

    // One record too long: the size check refuses it as it is.
    File longer = full;
    longer.resize(kUnitDbFileSize + kUnitDbRecordSize, 0);
    ok &= Write(folder, "one-record-too-long.db", longer);

    return ok ? 0 : 1;
}
