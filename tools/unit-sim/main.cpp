// unit-sim: plays one unit or a fleet of units against a receiver over UDP,
// the way real units behave (one frame in flight per unit, the same frame
// sent again when its answer is late, given up after a bounded number of
// tries), checks every answer byte for byte and reports what was lost,
// refused or answered wrongly, with latency percentiles and throughput.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/SystemClock.h"
#include "tools/unit-sim/SimCore.h"
#include "tools/unit-sim/SimFrames.h"
#include "tools/unit-sim/SimOptions.h"

using namespace korvan;

using namespace unitsim;

namespace {

// A frame of `kind` for unit `nr` with the texts the options give, the
// unit's own account and IMEI where the options give none.
UnitFrame FrameFromOptions(const Options& o, Kind kind, int nr) {
    UnitFrame f;
    f.kind = kind;
    f.unitNr = nr;
    f.encrMarker = o.encrMarker;
    f.account = o.account.empty() ? DefaultAccount(nr) : o.account;
    f.event = o.event;
    f.partition = o.partition;
    f.zone = o.zone;
    f.imei = o.imei.empty() ? DefaultImei(nr) : o.imei;
    f.fw = o.fw;
    f.level = o.level;
    return f;
}

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

void InstallSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: poll() must return at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

Micros NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

DateTimeParts LocalParts() {
    return DecodeDateTime(SystemClock().Now());
}

TDateTime LocalNow() {
    TDateTime dt = 0;
    TryEncodeDateTime(LocalParts(), dt);
    return dt;
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool Resolve(const std::string& host, std::uint16_t port, sockaddr_in& out, std::string& err) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        err = "cannot resolve '" + host + "': " + gai_strerror(rc);
        return false;
    }
    std::memcpy(&out, res->ai_addr, sizeof out);
    out.sin_port = htons(port);
    freeaddrinfo(res);
    return true;
}

// Raises the soft limit of open files to the hard one; returns the limit now in force.
long RaiseFdLimit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        return 1024;
    }
    if (rl.rlim_cur < rl.rlim_max) {
        rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            rl = raised;
        }
    }
    return rl.rlim_cur == RLIM_INFINITY ? 1L << 20 : static_cast<long>(rl.rlim_cur);
}

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Socket& operator=(Socket&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// A socket connected to the receiver: it hears only the receiver's answers,
// and an ICMP "port unreachable" shows up as ECONNREFUSED.
bool OpenUnitSocket(const sockaddr_in& target, Socket& out, std::string& err) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = Errno("socket");
        return false;
    }
    Socket s(fd);
    const int buf = 1 << 20;  // best effort: a storm's answers arrive together
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        err = Errno("connect");
        return false;
    }
    out = std::move(s);
    return true;
}

std::string Ms(Micros us) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(us) / 1000.0);
    return buf;
}

// ---------------------------------------------------------------------------

struct SentFrame {
    Bytes bytes;
    int unit = 0;  // index into the fleet
    Kind kind = Kind::Ping;
    std::uint16_t frameId = 0;
};

struct Unit {
    int nr = 0;
    int socket = 0;
    std::deque<UnitFrame> queue;
    bool busy = false;
};

class Fleet {
public:
    Fleet(const Options& o, std::vector<Socket> sockets, int unitCount, int firstUnit)
        : o_(o), sockets_(std::move(sockets)), tracker_(Policy(o)) {
        for (int i = 0; i < unitCount; ++i) {
            Unit u;
            u.nr = firstUnit + i;
            u.socket = i % static_cast<int>(sockets_.size());
            units_.push_back(std::move(u));
        }
        nextId_.assign(sockets_.size(), 1);
        for (const Socket& s : sockets_) {
            pfds_.push_back({s.fd(), POLLIN, 0});
        }
        printAll_ = o.verbose || o.mode == Mode::One;
    }

    // The frame of unit `index` built from the options' template.
    UnitFrame Template(int index, Kind kind) const {
        return FrameFromOptions(o_, kind, units_[static_cast<std::size_t>(index)].nr);
    }

    // The next frame a load, storm or flood generates for unit `index`: the
    // template, its zone numbered when --numbered-zones asks for it.
    UnitFrame Generated(int index, Kind kind) {
        UnitFrame f = Template(index, kind);
        if (o_.numberedZones && kind == Kind::Event) {
            f.zone = NumberedZone(++eventsGenerated_);
        }
        return f;
    }

    // Flood: called whenever a unit has no frame left in flight or queued.
    void SetRefill(std::function<void(int index)> refill) { refill_ = std::move(refill); }

    void Enqueue(int index, UnitFrame f) {
        Unit& u = units_[static_cast<std::size_t>(index)];
        u.queue.push_back(std::move(f));
        if (!u.busy && u.queue.size() == 1) {
            ready_.push_back(index);
        }
    }

    // `generate(elapsed)` queues the frames due by then and returns when the
    // next one is due, or nothing once every frame has been generated.
    // `drainLimit`: after generation ends, frames still queued that long
    // afterwards are not sent any more.
    template <typename Generate>
    void Run(Generate generate, std::optional<Micros> drainLimit) {
        const Micros start = NowUs();
        Micros nextProgress = start + 1'000'000;
        std::optional<Micros> nextGen = 0;
        std::optional<Micros> drainUntil;
        bool generating = true;
        while (true) {
            Micros now = NowUs();
            if (gStop != 0) {
                std::printf("interrupted\n");
                Abandon(now);
                break;
            }
            if (generating && nextGen && now - start >= *nextGen) {
                nextGen = generate(now - start);
                if (!nextGen) {
                    generating = false;
                    if (drainLimit) {
                        drainUntil = now + *drainLimit;
                    }
                }
            }
            const bool sending = !drainUntil || now < *drainUntil;
            while (sending && !ready_.empty()) {
                const int index = ready_.front();
                ready_.pop_front();
                Transmit(index, now);
            }
            HandleDue(tracker_.Poll(now));
            if (!sending && tracker_.Size() == 0) {
                CountUnsent();
            }
            if (!generating && tracker_.Size() == 0 && ready_.empty()) {
                break;
            }
            if (o_.mode != Mode::One && now >= nextProgress) {
                Progress(now - start);
                nextProgress += 1'000'000;
            }

            Micros wake = now + 200'000;
            if (generating && nextGen) {
                wake = std::min(wake, start + *nextGen);
            }
            if (const auto d = tracker_.NextDeadline()) {
                wake = std::min(wake, *d);
            }
            if (drainUntil && sending) {
                wake = std::min(wake, *drainUntil);
            }
            if (sending && !ready_.empty()) {
                wake = now;
            }
            const int waitMs = static_cast<int>(std::max<Micros>(0, (wake - now + 999) / 1000));
            const int n = poll(pfds_.data(), pfds_.size(), waitMs);
            if (n < 0 && errno != EINTR) {
                std::printf("poll failed: %s\n", std::strerror(errno));
                Abandon(NowUs());
                break;
            }
            if (n > 0) {
                for (std::size_t i = 0; i < pfds_.size(); ++i) {
                    if ((pfds_[i].revents & (POLLIN | POLLERR)) != 0) {
                        Drain(static_cast<int>(i));
                    }
                }
            }
        }
    }

    // The figures of the run, its elapsed time set.
    Stats& Close() {
        stats_.elapsed = stats_.sent == 0 ? 0 : std::max<Micros>(lastEvent_ - firstTx_, 0);
        return stats_;
    }
    std::size_t sendErrors() const { return sendErrors_; }
    std::size_t icmpRefusals() const { return icmpRefusals_; }

private:
    static RetryPolicy Policy(const Options& o) {
        RetryPolicy p;
        p.timeout = static_cast<Micros>(o.timeoutMs) * 1000;
        p.maxRetries = o.retries;
        return p;
    }

    std::uint16_t NextFrameId(int socket) {
        if (o_.mode == Mode::One) {
            return static_cast<std::uint16_t>(o_.frameId);
        }
        // FrameIDs stay unique among the frames in flight on one socket,
        // since NewTime and NewUnitNr answers carry nothing else to match on.
        auto& next = nextId_[static_cast<std::size_t>(socket)];
        while (tracker_.Contains({socket, next})) {
            ++next;
        }
        return next++;
    }

    void Transmit(int index, Micros now) {
        Unit& u = units_[static_cast<std::size_t>(index)];
        UnitFrame f = std::move(u.queue.front());
        u.queue.pop_front();
        u.busy = true;
        f.frameId = NextFrameId(u.socket);
        if (f.kind == Kind::Event) {
            f.time = o_.time ? *o_.time : StampOf(LocalParts());
        }
        SentFrame s{BuildUnitFrame(f), index, f.kind, f.frameId};
        const std::size_t tag = nextTag_++;
        tracker_.Sent({u.socket, f.frameId}, tag, now);
        if (stats_.sent == 0) {
            firstTx_ = now;
        }
        ++stats_.sent;
        Send(s, 1);
        inFlight_.emplace(tag, std::move(s));
    }

    void Send(const SentFrame& s, int attempt) {
        const Unit& u = units_[static_cast<std::size_t>(s.unit)];
        ++stats_.datagrams;
        if (printAll_) {
            std::printf("send   unit %.4d %s FrameID=%u try %d (%zu b.): %s\n", u.nr,
                        KindName(s.kind), s.frameId, attempt, s.bytes.size(),
                        SpacedHex(s.bytes).c_str());
        }
        const int fd = sockets_[static_cast<std::size_t>(u.socket)].fd();
        if (send(fd, s.bytes.data(), s.bytes.size(), 0) < 0) {
            // The frame counts as sent: the retry rule covers a datagram the
            // network (or our own buffer) dropped.
            if (errno == ECONNREFUSED) {
                NoteIcmp();
            } else if (++sendErrors_ == 1) {
                std::printf("send failed: %s\n", std::strerror(errno));
            }
        }
    }

    void NoteIcmp() {
        if (++icmpRefusals_ == 1) {
            std::printf("receiver port closed (ICMP port unreachable)\n");
        }
    }

    void HandleDue(const RetryTracker::Due& due) {
        for (const auto& r : due.resend) {
            Send(inFlight_.at(r.tag), r.transmission);
        }
        for (const auto& lost : due.lost) {
            const SentFrame& s = inFlight_.at(lost.tag);
            ++stats_.lost;
            lastEvent_ = NowUs();
            const Unit& u = units_[static_cast<std::size_t>(s.unit)];
            Problem("LOST   unit %.4d %s FrameID=%u: no answer to %d transmissions\n", u.nr,
                    KindName(s.kind), s.frameId, lost.transmissions);
            Finish(lost.tag);
        }
    }

    void Drain(int socket) {
        std::uint8_t buf[8192];
        while (true) {
            const ssize_t n =
                recv(pfds_[static_cast<std::size_t>(socket)].fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == ECONNREFUSED) {
                    NoteIcmp();
                    continue;
                }
                return;  // EAGAIN: nothing more for now
            }
            OnAnswer(socket, ByteSpan(buf, static_cast<std::size_t>(n)), NowUs());
        }
    }

    void OnAnswer(int socket, ByteSpan answer, Micros now) {
        const auto id = AnswerFrameId(answer);
        std::optional<RetryTracker::Done> done;
        if (id) {
            done = tracker_.Answered({socket, *id}, now);
        }
        if (!done) {
            ++stats_.unmatched;
            Problem("UNMATCHED answer (%zu b.): %s\n", answer.size(), SpacedHex(answer).c_str());
            return;
        }
        const SentFrame& s = inFlight_.at(done->tag);
        const Unit& u = units_[static_cast<std::size_t>(s.unit)];
        const AnswerCheck check = CheckAnswer(s.bytes, answer);
        stats_.latencies.push_back(done->latency);
        lastEvent_ = now;
        std::string extra;
        if (check.verdict == Verdict::Ok) {
            if (answer[0] == frame::kNewUnitNr) {
                extra = ", new unit number " + DefaultAccount(check.newUnitNr);
            } else {
                std::array<std::uint8_t, 6> stamp{};
                const std::size_t at = answer[0] == frame::kNewTime ? 4 : 8;
                std::copy_n(answer.begin() + static_cast<std::ptrdiff_t>(at), 6, stamp.begin());
                extra = ", receiver time " + RawTimeText(stamp);
            }
            (done->transmissions == 1 ? stats_.firstTry : stats_.afterRetry)++;
            if (printAll_) {
                std::printf(
                    "answer unit %.4d %s FrameID=%u after %s ms, %d transmission(s) (%zu "
                    "b.): %s: ok%s\n",
                    u.nr, KindName(s.kind), s.frameId, Ms(done->latency).c_str(),
                    done->transmissions, answer.size(), SpacedHex(answer).c_str(), extra.c_str());
            }
        } else {
            if (check.verdict == Verdict::Refused) {
                ++stats_.refused;
                Problem("REFUSED unit %.4d %s FrameID=%u after %s ms: NACK (%zu b.): %s\n", u.nr,
                        KindName(s.kind), s.frameId, Ms(done->latency).c_str(), answer.size(),
                        SpacedHex(answer).c_str());
            } else {
                ++stats_.wrong;
                Problem("WRONG  unit %.4d %s FrameID=%u after %s ms: %s, %s (%zu b.): %s\n", u.nr,
                        KindName(s.kind), s.frameId, Ms(done->latency).c_str(),
                        VerdictName(check.verdict), check.detail.c_str(), answer.size(),
                        SpacedHex(answer).c_str());
            }
        }
        Finish(done->tag);
    }

    // The unit is free for its next frame.
    void Finish(std::size_t tag) {
        const auto it = inFlight_.find(tag);
        const int index = it->second.unit;
        Unit& u = units_[static_cast<std::size_t>(index)];
        inFlight_.erase(it);
        u.busy = false;
        if (!u.queue.empty()) {
            ready_.push_back(index);
        } else if (refill_) {
            refill_(index);
        }
    }

    template <typename... Args>
    void Problem(const char* format, Args... args) {
        if (printAll_ || shown_ < o_.show) {
            std::printf(format, args...);
        } else if (shown_ == o_.show) {
            std::printf("... further problems are counted, not shown (--show, --verbose)\n");
        }
        ++shown_;
    }

    void Progress(Micros elapsed) {
        std::printf("t=%.1fs sent=%zu answered=%zu in_flight=%zu lost=%zu wrong=%zu refused=%zu\n",
                    static_cast<double>(elapsed) / 1e6, stats_.sent, stats_.Answered(),
                    tracker_.Size(), stats_.lost, stats_.wrong, stats_.refused);
        std::fflush(stdout);
    }

    void CountUnsent() {
        for (Unit& u : units_) {
            stats_.unsent += u.queue.size();
            u.queue.clear();
        }
        ready_.clear();
    }

    // An interrupted run: frames in flight count as lost, queued ones as unsent.
    void Abandon(Micros now) {
        stats_.lost += tracker_.Size();
        CountUnsent();
        lastEvent_ = now;
    }

    const Options& o_;
    std::vector<Socket> sockets_;
    std::vector<pollfd> pfds_;
    std::vector<Unit> units_;
    std::vector<std::uint16_t> nextId_;
    std::deque<int> ready_;
    RetryTracker tracker_;
    std::unordered_map<std::size_t, SentFrame> inFlight_;
    std::size_t nextTag_ = 0;
    Stats stats_;
    Micros firstTx_ = 0;
    Micros lastEvent_ = 0;
    std::size_t sendErrors_ = 0;
    std::size_t icmpRefusals_ = 0;
    int shown_ = 0;
    bool printAll_ = false;
    std::function<void(int index)> refill_;
    std::uint64_t eventsGenerated_ = 0;
};

int Report(Fleet& fleet) {
    Stats& st = fleet.Close();
    std::sort(st.latencies.begin(), st.latencies.end());
    std::printf(
        "frames: sent %zu (%zu datagrams), answered %zu (first try %zu, after retry %zu), "
        "refused %zu, wrong %zu, lost %zu, unsent %zu, unmatched answers %zu\n",
        st.sent, st.datagrams, st.Answered(), st.firstTry, st.afterRetry, st.refused, st.wrong,
        st.lost, st.unsent, st.unmatched);
    if (fleet.sendErrors() > 0 || fleet.icmpRefusals() > 0) {
        std::printf("send errors %zu, ICMP port unreachable %zu\n", fleet.sendErrors(),
                    fleet.icmpRefusals());
    }
    std::printf("latency ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n",
                PercentileMs(st.latencies, 50), PercentileMs(st.latencies, 90),
                PercentileMs(st.latencies, 99), PercentileMs(st.latencies, 100));
    const double seconds = static_cast<double>(st.elapsed) / 1e6;
    std::printf("throughput: %.1f answers/s, %.1f datagrams/s over %.3f s\n",
                seconds > 0 ? static_cast<double>(st.Answered()) / seconds : 0.0,
                seconds > 0 ? static_cast<double>(st.datagrams) / seconds : 0.0, seconds);
    std::printf("%s\n", SummaryLine(st).c_str());
    return st.Clean() ? 0 : 1;
}

int RunFleet(const Options& o) {
    sockaddr_in target{};
    std::string err;
    if (!Resolve(o.host, o.port, target, err)) {
        std::fprintf(stderr, "unit-sim: %s\n", err.c_str());
        return 2;
    }
    const int unitCount = o.mode == Mode::One ? 1 : o.units;
    const int firstUnit = o.mode == Mode::One ? o.unit : o.firstUnit;
    // One socket per unit, so the receiver sees each at its own port, unless
    // the open-file limit or --max-sockets says to share.
    const long fdLimit = RaiseFdLimit();
    const int socketCount = static_cast<int>(
        std::max<long>(1, std::min<long>({unitCount, o.maxSockets, fdLimit - 64})));
    std::vector<Socket> sockets;
    for (int i = 0; i < socketCount; ++i) {
        Socket s;
        if (!OpenUnitSocket(target, s, err)) {
            std::fprintf(stderr, "unit-sim: %s\n", err.c_str());
            return 1;
        }
        sockets.push_back(std::move(s));
    }
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &target.sin_addr, addr, sizeof addr);
    if (o.mode != Mode::One) {
        std::printf("%d units %.4d..%.4d on %d socket(s) to %s:%u, timeout %d ms, %d retries\n",
                    unitCount, firstUnit, firstUnit + unitCount - 1, socketCount, addr, o.port,
                    o.timeoutMs, o.retries);
    }
    std::fflush(stdout);

    Fleet fleet(o, std::move(sockets), unitCount, firstUnit);
    const Micros wholeWait = static_cast<Micros>(o.retries + 1) * o.timeoutMs * 1000;
    switch (o.mode) {
        case Mode::One: {
            UnitFrame f = fleet.Template(0, o.type);
            fleet.Enqueue(0, f);
            fleet.Run([](Micros) { return std::optional<Micros>(); }, std::nullopt);
            break;
        }
        case Mode::Load: {
            const auto total = static_cast<std::uint64_t>(std::llround(o.rate * o.duration));
            std::printf("load: %llu frames at %.1f/s for %.1f s, %d%% Events\n",
                        static_cast<unsigned long long>(total), o.rate, o.duration,
                        o.eventsPercent);
            std::uint64_t k = 0;
            fleet.Run(
                [&](Micros elapsed) -> std::optional<Micros> {
                    for (; k < total && LoadSendTime(k, o.rate) <= elapsed; ++k) {
                        const int unit =
                            static_cast<int>(k % static_cast<std::uint64_t>(unitCount));
                        const Kind kind =
                            LoadFrameIsEvent(k, o.eventsPercent) ? Kind::Event : Kind::Ping;
                        fleet.Enqueue(unit, fleet.Generated(unit, kind));
                    }
                    if (k >= total) {
                        return std::nullopt;
                    }
                    return LoadSendTime(k, o.rate);
                },
                wholeWait + 1'000'000);
            break;
        }
        case Mode::Storm: {
            const std::vector<Micros> starts = StormStartTimes(unitCount, o.windowMs, o.seed);
            std::vector<int> order(static_cast<std::size_t>(unitCount));
            for (int i = 0; i < unitCount; ++i) {
                order[static_cast<std::size_t>(i)] = i;
            }
            std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
                return starts[static_cast<std::size_t>(a)] < starts[static_cast<std::size_t>(b)];
            });
            std::printf("storm: %d frame(s) per unit within %d ms, %d%% Events\n", o.framesPerUnit,
                        o.windowMs, o.eventsPercent);
            std::size_t next = 0;
            std::uint64_t k = 0;
            fleet.Run(
                [&](Micros elapsed) -> std::optional<Micros> {
                    for (; next < order.size() &&
                           starts[static_cast<std::size_t>(order[next])] <= elapsed;
                         ++next) {
                        const int unit = order[next];
                        for (int i = 0; i < o.framesPerUnit; ++i, ++k) {
                            const Kind kind =
                                LoadFrameIsEvent(k, o.eventsPercent) ? Kind::Event : Kind::Ping;
                            fleet.Enqueue(unit, fleet.Generated(unit, kind));
                        }
                    }
                    if (next >= order.size()) {
                        return std::nullopt;
                    }
                    return starts[static_cast<std::size_t>(order[next])];
                },
                std::nullopt);
            break;
        }
        case Mode::Flood: {
            const Micros length = static_cast<Micros>(o.duration * 1e6);
            std::printf("flood: %d frame(s) in flight for %.1f s, %d%% Events\n", unitCount,
                        o.duration, o.eventsPercent);
            std::uint64_t k = 0;
            bool flooding = true;
            auto next = [&](int unit) {
                const Kind kind = LoadFrameIsEvent(k++, o.eventsPercent) ? Kind::Event : Kind::Ping;
                fleet.Enqueue(unit, fleet.Generated(unit, kind));
            };
            // Each unit starts again as soon as it is free, until the time is up.
            fleet.SetRefill([&](int unit) {
                if (flooding) {
                    next(unit);
                }
            });
            fleet.Run(
                [&](Micros) -> std::optional<Micros> {
                    if (k == 0) {
                        for (int unit = 0; unit < unitCount; ++unit) {
                            next(unit);
                        }
                        return length;
                    }
                    flooding = false;
                    return std::nullopt;
                },
                wholeWait + 1'000'000);
            break;
        }
        case Mode::Blast:
        case Mode::Respond:
            break;
    }
    return Report(fleet);
}

// A flood from one address: datagrams go out back to back, as fast as the
// socket takes them, with no wait for answers; the answers that come back
// are counted as they arrive, and for two seconds after the last send.
int RunBlast(const Options& o) {
    sockaddr_in target{};
    std::string err;
    if (!Resolve(o.host, o.port, target, err)) {
        std::fprintf(stderr, "unit-sim: %s\n", err.c_str());
        return 2;
    }
    Socket s;
    if (!OpenUnitSocket(target, s, err)) {
        std::fprintf(stderr, "unit-sim: %s\n", err.c_str());
        return 1;
    }
    // Junk: a pool of random datagrams, sent in turn, so that making them
    // costs nothing during the run.
    std::vector<Bytes> junk;
    if (o.junkBytes > 0) {
        std::uint64_t x = o.seed * 0x9E3779B97F4A7C15ULL + 1;
        for (int i = 0; i < 64; ++i) {
            Bytes d(static_cast<std::size_t>(o.junkBytes));
            for (std::uint8_t& b : d) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                b = static_cast<std::uint8_t>(x >> 32);
            }
            junk.push_back(std::move(d));
        }
    }
    UnitFrame f = FrameFromOptions(o, o.type, o.unit);
    f.time = o.time ? *o.time : StampOf(LocalParts());
    if (o.junkBytes > 0) {
        std::printf("blast: random datagrams of %d bytes for %.1f s to %s:%u\n", o.junkBytes,
                    o.duration, o.host.c_str(), o.port);
    } else {
        std::printf("blast: %s frames of unit %.4d for %.1f s to %s:%u\n", KindName(o.type), o.unit,
                    o.duration, o.host.c_str(), o.port);
    }
    std::fflush(stdout);

    std::size_t sent = 0, answers = 0, acks = 0, nacks = 0, other = 0, waits = 0;
    std::uint8_t buf[8192];
    const auto drain = [&] {
        for (;;) {
            const ssize_t n = recv(s.fd(), buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == ECONNREFUSED)
                    continue;
                return;
            }
            ++answers;
            if (n > 0 && buf[0] == frame::kAck) {
                ++acks;
            } else if (n > 0 && buf[0] == frame::kNack) {
                ++nacks;
            } else {
                ++other;
            }
        }
    };
    const Micros start = NowUs();
    const Micros end = start + static_cast<Micros>(o.duration * 1e6);
    Micros nextProgress = start + 1'000'000;
    std::uint16_t frameId = static_cast<std::uint16_t>(o.frameId);
    Bytes built = BuildUnitFrame(f);
    while (gStop == 0) {
        if ((sent & 255) == 0) {
            drain();
            const Micros now = NowUs();
            if (now >= end)
                break;
            if (now >= nextProgress) {
                std::printf("t=%.1fs sent=%zu answers=%zu\n",
                            static_cast<double>(now - start) / 1e6, sent, answers);
                nextProgress += 1'000'000;
            }
        }
        const Bytes* d = &built;
        if (o.junkBytes > 0) {
            d = &junk[sent % junk.size()];
        } else {
            f.frameId = frameId++;
            built = BuildUnitFrame(f);
        }
        if (send(s.fd(), d->data(), d->size(), MSG_DONTWAIT) < 0) {
            if (errno == EAGAIN || errno == ENOBUFS) {
                ++waits;
                pollfd p{s.fd(), POLLOUT, 0};
                poll(&p, 1, 1);
                continue;
            }
            if (errno != ECONNREFUSED && errno != EINTR) {
                std::printf("send failed: %s\n", std::strerror(errno));
                break;
            }
            continue;
        }
        ++sent;
    }
    const double seconds = static_cast<double>(NowUs() - start) / 1e6;
    const Micros lingerEnd = NowUs() + 2'000'000;
    while (gStop == 0 && NowUs() < lingerEnd) {
        pollfd p{s.fd(), POLLIN, 0};
        poll(&p, 1, 50);
        drain();
    }
    std::printf(
        "summary sent=%zu answers=%zu acks=%zu nacks=%zu other=%zu rate=%.0f send_waits=%zu\n",
        sent, answers, acks, nacks, other, seconds > 0 ? static_cast<double>(sent) / seconds : 0.0,
        waits);
    return 0;
}

// A stand-in receiver: answers every datagram as the receiver would, so the
// other modes can be tried (and their retries seen, with --drop-every)
// without one.
int RunResponder(const Options& o) {
    sockaddr_in local{};
    std::string err;
    if (!Resolve(o.host, o.port, local, err)) {
        std::fprintf(stderr, "unit-sim: %s\n", err.c_str());
        return 2;
    }
    Socket s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (s.fd() < 0 || bind(s.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "unit-sim: %s\n", Errno("bind").c_str());
        return 1;
    }
    std::printf("responding on %s:%u\n", o.host.c_str(), o.port);
    std::fflush(stdout);
    const Micros end = NowUs() + static_cast<Micros>(o.duration * 1e6);
    std::set<int> heard;
    std::size_t received = 0;
    std::size_t answered = 0;
    std::size_t dropped = 0;
    std::uint8_t buf[8192];
    pollfd pfd{s.fd(), POLLIN, 0};
    while (gStop == 0 && (!o.durationGiven || NowUs() < end)) {
        if (poll(&pfd, 1, 200) <= 0) {
            continue;
        }
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = recvfrom(s.fd(), buf, sizeof buf, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            continue;
        }
        ++received;
        const ByteSpan datagram(buf, static_cast<std::size_t>(n));
        if (o.dropEvery > 0 && received % static_cast<std::size_t>(o.dropEvery) == 0) {
            ++dropped;
            if (o.verbose) {
                std::printf("drop   (%zd b.): %s\n", n, SpacedHex(datagram).c_str());
            }
            continue;
        }
        int freeNr = 1;
        while (freeNr < 9999 && heard.count(freeNr) != 0) {
            ++freeNr;
        }
        const CheckedFrame f = CheckFrame(datagram);
        if (f.Accepted() && f.frameType != frame::kChangeUnitNrRequest) {
            heard.insert(f.unitNr);
        }
        const Bytes answer = ResponderAnswer(datagram, LocalNow(), freeNr);
        if (o.verbose) {
            std::printf("recv   (%zd b.): %s\nanswer (%zu b.): %s\n", n,
                        SpacedHex(datagram).c_str(), answer.size(), SpacedHex(answer).c_str());
        }
        if (!answer.empty()) {
            sendto(s.fd(), answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   fromLen);
            ++answered;
        }
    }
    std::printf("respond received=%zu answered=%zu dropped=%zu\n", received, answered, dropped);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const ParseResult parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::printf("%s", UsageText().c_str());
        return 0;
    }
    if (!parsed.options) {
        std::fprintf(stderr, "unit-sim: %s\n\n%s", parsed.error.c_str(), UsageText().c_str());
        return 2;
    }
    InstallSignals();
    std::signal(SIGPIPE, SIG_IGN);
    const Options& o = *parsed.options;
    if (o.mode == Mode::Respond) {
        return RunResponder(o);
    }
    return o.mode == Mode::Blast ? RunBlast(o) : RunFleet(o);
}
