// kervald as a process an administrator runs: detaching once ready, its socket
// files' owner, group and mode, telling systemd its state, and stopping after
// the scans in progress.
#include <grp.h>
#include <pwd.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

#include "daemon_fixture.h"
#include "kvc_ipc.h"
#include "kvc_lib.h"
#include "kvc_proto.h"
#include "test_util.h"

namespace ipc = kv::ipc;
namespace proto = kv::proto;
using kvtest::stand_in;

namespace {

std::string link_target(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
}

// A process that is not our child is gone when it no longer exists or is a zombie.
bool gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t state = text.rfind(") ");
    return text.empty() || (state != std::string::npos && text[state + 2] == 'Z');
}

bool wait_until(const std::function<bool()>& done, int seconds = 10) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (done()) return true;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > seconds) return false;
        timespec pause{0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

TEST(KervaldProcess, DetachesOnceReadyAndStopsOnSigterm) {
    kvtest::temp_dir dir;
    const std::string socket = dir / "d.sock";
    const std::string pidfile = dir / "d.pid";
    const kvtest::run_result run = kvtest::run_program(
        {kvtest::daemon_bin(), "--database-directory=none", "--pidfile=" + pidfile, "local:" + socket}, "", 30);
    ASSERT_EQ(run.status, 0) << run.err;
    // The starting process has ended, and the daemon was ready before it did.
    ASSERT_TRUE(kvtest::file_exists(pidfile));
    EXPECT_NE(run.err.find("kervald: listening on local:" + socket), std::string::npos) << run.err;
    const pid_t pid = std::stoi(kvtest::read_file(pidfile));
    EXPECT_FALSE(gone(pid));
    EXPECT_EQ(getsid(pid), pid);
    const std::string proc = "/proc/" + std::to_string(pid);
    for (const char* fd : {"/fd/0", "/fd/1", "/fd/2"}) EXPECT_EQ(link_target(proc + fd), "/dev/null") << fd;
    EXPECT_EQ(link_target(proc + "/cwd"), "/");
    EXPECT_EQ(kvtest::scan_status("local:" + socket, kvtest::eicar()), kv::KV_KNOWN_VIRUS);

    kill(pid, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return gone(pid); }));
    EXPECT_FALSE(kvtest::file_exists(pidfile));
    EXPECT_FALSE(kvtest::file_exists(socket));
}

TEST(KervaldProcess, AFailureBeforeReadyEndsTheStartWithItsReason) {
    kvtest::temp_dir dir;
    // Detached, the pid file cannot be written: the start fails and says why.
    const std::string pidfile = dir / "missing/d.pid";
    const kvtest::run_result run = kvtest::run_program(
        {kvtest::daemon_bin(), "--database-directory=none", "--pidfile=" + pidfile, "local:" + (dir / "d.sock")}, "", 30);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("kervald: cannot write pid file " + pidfile + " - No such file or directory"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("kervald: the daemon ended before it was ready"), std::string::npos);
    EXPECT_TRUE(wait_until([&] { return !kvtest::file_exists(dir / "d.sock"); }));
}

TEST(KervaldProcess, SocketFilesGetTheirOwnerGroupAndMode) {
    kvtest::temp_dir dir;
    // Running as root, the socket can go to another account.
    const passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    const uid_t uid = nobody != nullptr ? nobody->pw_uid : geteuid();
    const gid_t gid = nobody != nullptr ? nobody->pw_gid : getegid();
    struct row {
        std::vector<std::string> args;
        mode_t mode;
        uid_t uid;
        gid_t gid;
    };
    const row rows[] = {
        {{}, 0660, geteuid(), getegid()},
        {{"--socket-mode=0606", "--socket-user=" + std::to_string(uid), "--socket-group=" + std::to_string(gid)},
         0606, uid, gid},
    };
    for (const row& r : rows) {
        stand_in daemon(dir.path(), {.args = r.args});
        struct stat info;
        ASSERT_EQ(stat(daemon.socket_path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, r.mode);
        EXPECT_EQ(info.st_uid, r.uid);
        EXPECT_EQ(info.st_gid, r.gid);
    }
    struct refused {
        const char* arg;
        const char* said;
    };
    for (const refused& r : {refused{"--socket-user=no-such-user", "kervald: unknown user no-such-user"},
                             refused{"--socket-group=no-such-group", "kervald: unknown group no-such-group"},
                             refused{"--socket-mode=0888", "kervald: bad socket mode 0888"}}) {
        const kvtest::run_result run = kvtest::run_program({kvtest::daemon_bin(), r.arg, "default"}, "", 10);
        EXPECT_EQ(run.status, 2) << r.arg;
        EXPECT_NE(run.err.find(r.said), std::string::npos) << run.err;
    }
}

TEST(KervaldProcess, SigtermLetsTheScanInProgressFinish) {
    ASSERT_EQ(ipc::init(), ipc::IPC_OK);
    {
        kvtest::temp_dir dir;
        stand_in daemon(dir.path(), {.args = {"--delay=500"}});
        std::unique_ptr<ipc::channel> ch = ipc::create_client(daemon.unix_address(), 10, 0);
        ASSERT_TRUE(ch);
        const std::string content = "before " + kvtest::eicar() + " after";
        ASSERT_TRUE(proto::write_int(*ch, kv::KV_CMD_SCAN) && proto::write_int(*ch, 0) &&
                    proto::write_bytestring(*ch, 0, nullptr) &&
                    proto::write_int(*ch, static_cast<int32_t>(content.size())) &&
                    proto::write_buf(*ch, content.size(), content.data()));
        ASSERT_TRUE(daemon.wait_for_log("kervald: scan of"));  // scanned; the answer waits
        daemon.signal(SIGTERM);
        uint32_t status = 0;
        EXPECT_TRUE(proto::read_int(*ch, status));
        EXPECT_EQ(status, kv::KV_KNOWN_VIRUS);
        EXPECT_EQ(daemon.stop(), 0);
        EXPECT_NE(daemon.log().find("kervald: stopping: finishing the connections in progress"), std::string::npos);
    }
    EXPECT_EQ(ipc::done(), ipc::IPC_OK);
}

TEST(KervaldProcess, SystemdHearsReadyReloadingAndStopping) {
#ifndef KV_DAEMON_NOTIFIES
    GTEST_SKIP() << "kervald was built without libsystemd";
#endif
    kvtest::temp_dir dir;
    // systemd's side: the datagram socket named in NOTIFY_SOCKET.
    const std::string path = dir / "notify";
    const int notifications = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(notifications, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(notifications, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto next = [&]() -> std::string {
        pollfd ready{notifications, POLLIN, 0};
        char message[256];
        if (poll(&ready, 1, 10000) != 1) return "(nothing)";
        const ssize_t got = recv(notifications, message, sizeof message, 0);
        return got > 0 ? std::string(message, static_cast<size_t>(got)) : "(nothing)";
    };
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    {
        stand_in daemon(dir.path());
        unsetenv("NOTIFY_SOCKET");
        EXPECT_EQ(next(), "READY=1");
        daemon.signal(SIGHUP);
        EXPECT_EQ(next(), "RELOADING=1");
        EXPECT_EQ(next(), "READY=1");
        EXPECT_EQ(daemon.stop(), 0);
        EXPECT_EQ(next(), "STOPPING=1");
    }
    close(notifications);
}
