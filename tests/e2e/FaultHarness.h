#pragma once

// Pieces for the fault-injection tests of the real executable, on top of
// the shared harness (which starts the receiver as an unprivileged user or
// after a preparation of the test's choosing): private network and mount
// namespaces for the receiver, a monitoring-software peer on its own thread
// that can answer, refuse, stay silent, babble, answer late or vanish, and
// the unit frames the tests send.

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>

#include "device/Codec.h"
#include "e2e/ReceiverHarness.h"
#include "monitoring/MonitoringLines.h"

using namespace korvan;

// In a namespace of their own, so that helpers of the same name in the
// shared harness can never clash with these.
namespace e2e::fault {

inline std::size_t Count(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

// --- Unit frames -----------------------------------------------------------

inline Bytes WithId(Bytes frame, std::uint16_t frameId) {
    frame[2] = static_cast<std::uint8_t>(frameId >> 8);
    frame[3] = static_cast<std::uint8_t>(frameId & 0xFF);
    return frame;
}

inline void PutChars(Bytes& frame, std::size_t at, const std::string& text) {
    std::copy(text.begin(), text.end(), frame.begin() + static_cast<std::ptrdiff_t>(at));
}

inline Bytes PingFrame(int unitNr, std::uint16_t frameId) {
    return AppendCrc(WithId(CommandFrame(frame::kPing, unitNr, 8), frameId));
}

// A 28-byte Event stamped 2026-01-02 03:04:05; `account` 4, `event` 4,
// `partition` 2 and `zone` 3 characters.
inline Bytes EventFrame(int unitNr, std::uint16_t frameId, const std::string& account,
                        const std::string& event = "1130", const std::string& partition = "01",
                        const std::string& zone = "005") {
    Bytes f = WithId(CommandFrame(frame::kEvent, unitNr, 27), frameId);
    const std::uint8_t stamp[6] = {26, 1, 2, 3, 4, 5};
    std::copy(stamp, stamp + 6, f.begin() + 8);
    PutChars(f, 14, account);
    PutChars(f, 18, event);
    PutChars(f, 22, partition);
    PutChars(f, 24, zone);
    return AppendCrc(std::move(f));
}

// The account a unit uses in these tests: its own number as four digits.
inline std::string AccountOf(int unitNr) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04d", unitNr % 10000);
    return buf;
}

inline bool IsAckFor(const Bytes& answer, std::uint16_t frameId) {
    return answer.size() == 15 && answer[0] == frame::kAck && answer[2] == (frameId >> 8) &&
           answer[3] == (frameId & 0xFF);
}

// --- Files -------------------------------------------------------------------

// Sets the mode of the log folders and of the files in them.
inline void ChmodLogs(const std::string& dir, mode_t folders, mode_t files) {
    namespace fs = std::filesystem;
    for (const std::string& f : {dir + "Log", dir + "Log/All msg"}) {
        for (const auto& e : fs::directory_iterator(f)) {
            if (e.is_regular_file())
                ::chmod(e.path().c_str(), files);
        }
        ::chmod(f.c_str(), folders);
    }
}

// --- The receiver up and listening --------------------------------------------

// Sends Pings from `unit` until one is answered: the receiver is up and
// listening. The Pings are real datagrams the receiver logs and answers.
inline bool WaitListening(UdpUnit& unit, std::uint16_t port, int unitNr, int timeoutMs = 10000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint16_t id = 60000;
    while (Clock::now() < end) {
        unit.Send(port, PingFrame(unitNr, ++id));
        const auto until = Clock::now() + std::chrono::milliseconds(100);
        while (Clock::now() < until) {
            const Bytes a = unit.Receive(20);
            if (a.size() == 15 && a[0] == frame::kAck)
                return true;
        }
    }
    return false;
}

// --- Namespaces ------------------------------------------------------------

// For StartOptions::prepare: a network namespace of the receiver's own with
// its loopback up, so that a receiver on the default UDP port can meet no
// other program on that port. Needs root.
inline bool OwnNetwork() {
    if (::unshare(CLONE_NEWNET) != 0)
        return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    ::close(fd);
    return ok;
}

inline ino_t NamespaceOf(const std::string& proc, const char* kind) {
    struct stat st {};
    return ::stat((proc + "/ns/" + kind).c_str(), &st) == 0 ? st.st_ino : 0;
}

// A unit socket in the network namespace of process `pid`, once the process
// has one of its own; nullptr when it does not come.
inline std::unique_ptr<UdpUnit> UnitInNetworkOf(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    const ino_t mine = NamespaceOf("/proc/self", "net");
    if (!WaitFor([&] {
            const ino_t theirs = NamespaceOf(proc, "net");
            return theirs != 0 && theirs != mine;
        }))
        return nullptr;
    // Only this thread enters the namespace; the socket stays in it.
    std::unique_ptr<UdpUnit> unit;
    std::thread([&] {
        const int ns = ::open((proc + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        if (ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0)
            unit = std::make_unique<UdpUnit>();
        if (ns >= 0)
            ::close(ns);
    }).join();
    return unit;
}

// For StartOptions::prepare: a mount namespace of the receiver's own in
// which a tmpfs of `sizeBytes` is mounted on `dir`. Needs root.
inline bool OwnTmpfs(const std::string& dir, std::size_t sizeBytes) {
    if (::unshare(CLONE_NEWNS) != 0)
        return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    const std::string options = "size=" + std::to_string(sizeBytes) + ",mode=0755";
    return ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

// --- The monitoring software -------------------------------------------------

// The monitoring software's end of the serial line, played on a thread of
// its own: it collects every line the receiver writes and answers it as told.
// NakRepeated answers each line with three NAKs, 400 ms apart (a monitoring
// program that repeats its refusal). AckTwiceThenNak answers the first line
// after it is set with an ACK at once and another 300 ms later, refuses the
// next line with a NAK at once, and ACKs every line after that.
class MonitorPeer {
public:
    enum class Mode { Ack, Nak, Silent, Garbage, Late, NakRepeated, AckTwiceThenNak };

    MonitorPeer() {
        slaveName_ = OpenRawPty(master_, slave_);
        thread_ = std::thread([this] { Run(); });
    }
    ~MonitorPeer() {
        stop_ = true;
        thread_.join();
        Vanish();
    }
    MonitorPeer(const MonitorPeer&) = delete;
    MonitorPeer& operator=(const MonitorPeer&) = delete;

    const std::string& SlaveName() const { return slaveName_; }
    // Lets the receiver, running as nobody, open the slave. A lock file for
    // this device left by a killed receiver of another user is stale (the
    // device was created just now) and would keep nobody out.
    void GiveTo(uid_t uid, gid_t gid) {
        (void)!::chown(slaveName_.c_str(), uid, gid);
        std::string lock = slaveName_.substr(5);  // "pts/3" -> "LCK..pts_3"
        std::replace(lock.begin(), lock.end(), '/', '_');
        for (const char* dir : {"/run/lock/", "/var/lock/"})
            ::unlink((dir + std::string("LCK..") + lock).c_str());
    }
    // The receiver opens the port exclusively: the peer's own slave
    // descriptor goes once the receiver holds the port.
    void CloseSlave() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (slave_ >= 0)
            ::close(slave_);
        slave_ = -1;
    }
    // The monitoring software's side goes away (its program ends, a cable is
    // pulled): the master closes and the receiver's device hangs up.
    void Vanish() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (master_ >= 0)
            ::close(master_);
        if (slave_ >= 0)
            ::close(slave_);
        master_ = slave_ = -1;
    }

    void SetMode(Mode mode, int lateMs = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        mode_ = mode;
        lateMs_ = lateMs;
        linesInMode_ = 0;
    }
    // Writes `byte` to the receiver's side as the monitoring software, unasked.
    void Send(std::uint8_t byte) {
        std::lock_guard<std::mutex> lock(mutex_);
        Answer(byte);
    }
    // The lines answered with an ACK at once, in order.
    std::vector<std::string> Acked() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return acked_;
    }
    // Every line received, in order (transmissions, repeats included).
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // The lines that are not heartbeats, each repeat counted once: the
    // receiver's repeats of an unanswered line are consecutive.
    std::vector<std::string> Delivered() const {
        std::vector<std::string> out;
        for (const std::string& l : Lines()) {
            if (l == HeartbeatLine)
                continue;
            if (out.empty() || out.back() != l)
                out.push_back(l);
        }
        return out;
    }
    std::size_t Received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }
    // NAKs written so far.
    std::size_t NaksSent() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return naks_;
    }
    // Bytes that were not a 20-character line ended by 0x14.
    std::size_t Malformed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return malformed_;
    }

private:
    void Run() {
        Bytes partial;
        std::vector<std::pair<Clock::time_point, std::uint8_t>> due;  // late answers
        while (!stop_) {
            int fd;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                fd = master_;
            }
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 10);
            std::lock_guard<std::mutex> lock(mutex_);
            if (master_ < 0)
                continue;
            std::uint8_t b[512];
            const ssize_t n = ::read(master_, b, sizeof b);
            for (ssize_t i = 0; i < n; ++i) {
                if (b[i] != kLineEnd) {
                    partial.push_back(b[i]);
                    continue;
                }
                if (partial.size() != kLineLength)
                    ++malformed_;
                lines_.emplace_back(partial.begin(), partial.end());
                partial.clear();
                const int inMode = linesInMode_++;
                switch (mode_) {
                    case Mode::Ack:
                        Ack();
                        break;
                    case Mode::AckTwiceThenNak:
                        if (inMode == 1) {
                            Answer(0x15);
                            break;
                        }
                        Ack();
                        if (inMode == 0)
                            due.emplace_back(Clock::now() + std::chrono::milliseconds(300), 0x06);
                        break;
                    case Mode::Nak:
                        Answer(0x15);
                        break;
                    case Mode::Garbage:
                        Answer(0x3F);
                        break;
                    case Mode::Late:
                        due.emplace_back(Clock::now() + std::chrono::milliseconds(lateMs_), 0x06);
                        break;
                    case Mode::NakRepeated:
                        for (int k = 0; k < 3; ++k)
                            due.emplace_back(Clock::now() + std::chrono::milliseconds(400 * k),
                                             0x15);
                        break;
                    case Mode::Silent:
                        break;
                }
            }
            const auto now = Clock::now();
            for (auto it = due.begin(); it != due.end();) {
                if (it->first <= now) {
                    Answer(it->second);
                    it = due.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    void Answer(std::uint8_t byte) {
        if (byte == 0x15)
            ++naks_;
        if (master_ >= 0)
            (void)!::write(master_, &byte, 1);
    }
    void Ack() {
        acked_.push_back(lines_.back());
        Answer(0x06);
    }

    static constexpr std::uint8_t kLineEnd = 0x14;

    mutable std::mutex mutex_;
    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
    Mode mode_ = Mode::Ack;
    int lateMs_ = 0;
    int linesInMode_ = 0;
    std::vector<std::string> lines_;
    std::vector<std::string> acked_;
    std::size_t malformed_ = 0;
    std::size_t naks_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace e2e::fault
