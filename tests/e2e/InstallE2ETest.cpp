// scripts/install.sh as a user runs it, into a temporary home, and the
// installed receiver started from where it was put; `RAZUDovuve --version`.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "e2e/ReceiverHarness.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;     // exit code; -1 when it did not exit normally
    std::string output;  // stdout and stderr together
};

// An environment change for a child: an empty value removes the variable.
using Env = std::vector<std::pair<std::string, std::string>>;

// Runs a program to its end and collects what it printed.
Result RunProgram(const std::vector<std::string>& args, const Env& env = {},
                  const std::string& cwd = "") {
    int out[2];
    if (::pipe(out) != 0)
        throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        ::close_range(3, ~0U, 0);
        for (const auto& [name, value] : env) {
            if (value.empty())
                ::unsetenv(name.c_str());
            else
                ::setenv(name.c_str(), value.c_str(), 1);
        }
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    Result r;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) r.output.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The value of `key` in a desktop entry, or "<none>".
std::string EntryValue(const std::string& entry, const std::string& key) {
    const std::string prefix = "\n" + key + "=";
    const std::size_t at = ("\n" + entry).find(prefix);
    if (at == std::string::npos)
        return "<none>";
    const std::size_t start = at + prefix.size() - 1;
    return entry.substr(start, entry.find('\n', start) - start);
}

// A PNG file's width from its header.
unsigned PngWidth(const std::string& png) {
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0)
        return 0;
    unsigned w = 0;
    for (int i = 16; i < 20; ++i)
        w = w << 8 | static_cast<unsigned char>(png[static_cast<size_t>(i)]);
    return w;
}

const int kIconSizes[] = {32, 48, 64, 128, 256};

class InstallE2E : public ::testing::Test {
protected:
    TempFolder home;
    // A blank in the folder's name, as "Control Room" may well have; the
    // entries must quote it.
    const std::string folder = home.Path() + "Control Room/RAZUDovuve";
    // As the script names it: the full path, with any symbolic link resolved.
    const std::string exe = fs::weakly_canonical(folder + "/RAZUDovuve").string();
    const std::string dataHome = home.Path() + "data";
    const std::string configHome = home.Path() + "config";
    const std::string menuEntry = dataHome + "/applications/razudovuve.desktop";
    const std::string autostartEntry = configHome + "/autostart/razudovuve.desktop";
    const std::string buildDir = fs::path(RAZUDOVUVE_EXE).parent_path().string();

    std::string Icon(int size) const {
        const std::string s = std::to_string(size);
        return dataHome + "/icons/hicolor/" + s + "x" + s + "/apps/razudovuve.png";
    }

    Result Script(std::vector<std::string> args, Env env = {}) {
        args.insert(args.begin(), {"bash", KORVAN_SOURCE_DIR "/scripts/install.sh"});
        env.insert(env.begin(), {{"HOME", home.Path()},
                                 {"XDG_DATA_HOME", dataHome},
                                 {"XDG_CONFIG_HOME", configHome},
                                 {"RAZUDOVUVE_BUILD_DIR", buildDir}});
        return RunProgram(args, env);
    }
};

TEST_F(InstallE2E, InstallsProgramEntriesAndIconAndTheInstalledReceiverRunsFromThere) {
    const Result r = Script({folder});
    ASSERT_EQ(0, r.status) << r.output;

    EXPECT_EQ(ReadFile(RAZUDOVUVE_EXE), ReadFile(exe));
    EXPECT_EQ(0, ::access(exe.c_str(), X_OK));
    for (const char* wav : {"/impmsg.wav", "/error.wav"})
        EXPECT_EQ(ReadFile(std::string(RAZUDOVUVE_WAV_DIR) + wav), ReadFile(folder + "/Wav" + wav))
            << wav;
    EXPECT_FALSE(fs::exists(folder + "/RAZUDovuve.db"));

    for (const std::string& path : {menuEntry, autostartEntry}) {
        SCOPED_TRACE(path);
        const std::string entry = ReadFile(path);
        EXPECT_EQ("\"" + exe + "\"", EntryValue(entry, "Exec"));
        EXPECT_EQ("Korvan GPRS Module", EntryValue(entry, "Name"));
        EXPECT_EQ("razudovuve", EntryValue(entry, "Icon"));
        EXPECT_EQ(KORVAN_PROJECT_VERSION, EntryValue(entry, "X-RAZUDovuve-Version"));
    }
    for (int size : kIconSizes)
        EXPECT_EQ(static_cast<unsigned>(size), PngWidth(ReadFile(Icon(size))));

    // Started from there, as the menu would, it keeps its files beside itself.
    Receiver rx(Receiver::Installed{folder});
    rx.WriteSettings(FreeUdpPort(), "NOPORT");
    rx.Start();
    ASSERT_TRUE(rx.WaitAllLog("UDP Server Listen Port")) << rx.AllLog() << rx.Stderr();
    EXPECT_NE(
        std::string::npos,
        ReadFile(folder + "/Log/All msg/" + TodayFile() + ".log").find("Application started.."));
    EXPECT_EQ(400000u, fs::file_size(folder + "/RAZUDovuve.db"));

    // Not over a running installation.
    const Result again = Script({folder});
    EXPECT_NE(0, again.status);
    EXPECT_NE(std::string::npos, again.output.find("is running")) << again.output;
    EXPECT_EQ(ReadFile(RAZUDOVUVE_EXE), ReadFile(exe));
    EXPECT_TRUE(rx.Running());
    rx.Kill(SIGTERM);
}

TEST_F(InstallE2E, ReinstallReplacesTheProgramAndKeepsTheDataAndSoDoesUninstall) {
    ASSERT_EQ(0, Script({folder}).status);
    std::string db(400000, '\0');
    for (std::size_t i = 0; i < db.size(); i += 37) db[i] = static_cast<char>(i % 251);
    const std::string ini = "40001\r\nCOM5\r\n10\r\n20\r\n30\r\n0\r\n45\r\n";
    const std::string impLog = "2024.01.02 03:04:05 - something important\r\n";
    WriteFile(folder + "/RAZUDovuve.db", db);
    WriteFile(folder + "/RAZUDovuve.ini", ini);
    WriteFile(folder + "/Log/Imp_msg.log", impLog);
    fs::create_directories(folder + "/ports");
    fs::create_symlink("/dev/null", folder + "/ports/COM5");
    WriteFile(exe, "an older program");

    const Result again = Script({folder});
    ASSERT_EQ(0, again.status) << again.output;
    EXPECT_EQ(ReadFile(RAZUDOVUVE_EXE), ReadFile(exe));
    EXPECT_EQ(db, ReadFile(folder + "/RAZUDovuve.db"));
    EXPECT_EQ(ini, ReadFile(folder + "/RAZUDovuve.ini"));
    EXPECT_EQ(impLog, ReadFile(folder + "/Log/Imp_msg.log"));
    EXPECT_EQ("/dev/null", fs::read_symlink(folder + "/ports/COM5").string());
    // Nothing left behind from the replacement.
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    EXPECT_EQ((std::set<std::string>{"Log", "RAZUDovuve", "RAZUDovuve.db", "RAZUDovuve.ini", "Wav",
                                     "ports"}),
              names);

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("uninstall " + std::to_string(round));
        const Result u = Script({"--uninstall", folder});
        ASSERT_EQ(0, u.status) << u.output;
        EXPECT_FALSE(fs::exists(menuEntry));
        EXPECT_FALSE(fs::exists(autostartEntry));
        for (int size : kIconSizes) EXPECT_FALSE(fs::exists(Icon(size))) << size;
        EXPECT_EQ(db, ReadFile(folder + "/RAZUDovuve.db"));
        EXPECT_EQ(ini, ReadFile(folder + "/RAZUDovuve.ini"));
        EXPECT_TRUE(fs::exists(exe));
    }
}

TEST_F(InstallE2E, EntriesPassDesktopFileValidate) {
    const Result r = Script({folder});
    ASSERT_EQ(0, r.status) << r.output;
    if (RunProgram({"sh", "-c", "command -v desktop-file-validate"}).status != 0)
        GTEST_SKIP() << "desktop-file-validate is not installed (package desktop-file-utils)";
    for (const std::string& path : {menuEntry, autostartEntry}) {
        const Result v = RunProgram({"desktop-file-validate", path});
        EXPECT_EQ(0, v.status) << path << "\n" << v.output;
    }
}

// The service installation with systemctl stubbed: it records its calls,
// and a folder of the test's stands for the one systemd runs from.
TEST_F(InstallE2E, ServiceWritesTheUnitStartsItUpdatesItAndUninstallRemovesIt) {
    ASSERT_EQ(0, Script({folder}).status);  // a desktop installation first
    const std::string stubs = home.Path() + "stubs", calls = home.Path() + "calls";
    const std::string unit = home.Path() + "units/razudovuve.service";
    WriteFile(stubs + "/systemctl", "#!/bin/sh\necho \"$*\" >>\"" + calls + "\"\n");
    ::chmod((stubs + "/systemctl").c_str(), 0755);
    fs::create_directories(home.Path() + "systemd-runs");
    Env env{{"PATH", stubs + ":" + std::getenv("PATH")},
            {"RAZUDOVUVE_SYSTEMD_DIR", home.Path() + "units"},
            {"RAZUDOVUVE_SYSTEMD_RUNTIME", home.Path() + "systemd-runs"}};
    const auto run = [&](std::vector<std::string> args, const std::string& expectedCalls) {
        fs::remove(calls);
        const Result r = Script(std::move(args), env);
        EXPECT_EQ(0, r.status) << r.output;
        EXPECT_EQ(expectedCalls, ReadFile(calls)) << r.output;
        return r.output;
    };

    const std::string start =
        "daemon-reload\nenable razudovuve.service\nstart razudovuve.service\n";
    EXPECT_NE(std::string::npos, run({"--service", folder}, start).find("removed"));
    EXPECT_FALSE(fs::exists(autostartEntry));
    const std::string text = ReadFile(unit);
    EXPECT_EQ("\"" + exe + "\" --service", EntryValue(text, "ExecStart"));
    EXPECT_EQ("\"" + fs::weakly_canonical(folder).string() + "\" -/run/lock",
              EntryValue(text, "ReadWritePaths"));
    EXPECT_EQ(RunProgram({"id", "-un"}).output, EntryValue(text, "User") + "\n");
    if (RunProgram({"sh", "-c", "command -v systemd-analyze"}).status != 0)
        std::printf("systemd-analyze is not installed: the unit is not verified\n");
    else
        EXPECT_EQ(0, RunProgram({"systemd-analyze", "verify", unit}).status);
    run({"--service", folder},
        "show -p MainPID --value razudovuve.service\nstop razudovuve.service\n" + start);
    env.back().second = home.Path() + "no-systemd";
    EXPECT_NE(std::string::npos, run({"--service", folder}, "").find("systemd is not running"));
    EXPECT_EQ(text, ReadFile(unit));
    env.back().second = home.Path() + "systemd-runs";
    run({"--uninstall", folder}, "disable --now razudovuve.service\ndaemon-reload\n");
    EXPECT_FALSE(fs::exists(unit));
}

TEST(VersionE2E, PrintsTheVersionAndTouchesNothing) {
    TempFolder dir;
    TempFolder runtime;
    const std::string exe = dir.Path() + "RAZUDovuve";
    fs::copy_file(RAZUDOVUVE_EXE, exe);
    // No display of any kind: a QApplication could not even start.
    const Result r = RunProgram({exe, "--version"},
                                {{"XDG_RUNTIME_DIR", runtime.Path()},
                                 {"QT_QPA_PLATFORM", ""},
                                 {"DISPLAY", ""},
                                 {"WAYLAND_DISPLAY", ""}},
                                dir.Path());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("RAZUDovuve " KORVAN_PROJECT_VERSION "\n", r.output);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.Path()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(std::vector<std::string>{"RAZUDovuve"}, names);
    EXPECT_TRUE(fs::is_empty(runtime.Path()));
}

}  // namespace
