#include "kvc_addrlist.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "kvc_log.h"
#include "test_util.h"

namespace ipc = kv::ipc;

namespace {

// An entry as "inet:PORT@HOST t=TIMEOUT" or "local:PATH t=TIMEOUT".
std::string describe(const kv::addr_entry* entry) {
    const ipc::address* address = kv::addrlist_entry_address(entry);
    std::string text = kv::addrlist_entry_family(entry) == ipc::FAMILY_TCP
                           ? "inet:" + std::to_string(ntohs(address->socket.in.sin_port)) + "@" + address->text
                           : "local:" + address->text;
    return text + " t=" + std::to_string(kv::addrlist_entry_timeout(entry));
}

std::vector<std::string> entries(const kv::addrlist& list) {
    std::vector<std::string> out;
    for (const kv::addr_entry* e = list.next(nullptr); e != nullptr; e = list.next(e)) out.push_back(describe(e));
    return out;
}

}  // namespace

TEST(Addrlist, PidFiles) {
    struct row {
        const char* what;
        const char* content;  // nullptr: no file
        int resolve;
        int result;
        std::vector<std::string> added;
        const char* logged;  // "%s" stands for the pid file's path
    };
    const row rows[] = {
        {"socket path then host:port", "4242\n/run/kervald.sock\n127.0.0.1:3000\n", 0, 1,
         {"local:/run/kervald.sock t=7", "inet:3000@127.0.0.1 t=7"}, "kvlib: daemon pid = 4242"},
        {"blanks around host and port", "1\n 127.0.0.1 : 3001 \n", 0, 1, {"inet:3001@127.0.0.1 t=7"}, nullptr},
        {"last line without line end", "1\n127.0.0.1:3002", 0, 1, {"inet:3002@127.0.0.1 t=7"}, nullptr},
        {"pid only", "4242\n", 0, 0, {}, "kvlib: cannot read line 2 from daemon pidfile %s"},
        {"empty file", "", 0, 0, {}, "kvlib: cannot read line 1 from daemon pidfile %s"},
        {"no pid", "kervald\n/run/k.sock\n", 0, 0, {}, "kvlib: cannot read PID from daemon pidfile %s"},
        {"empty address line", "1\n/run/k.sock\n\n127.0.0.1:3000\n", 0, 0, {},
         "kvlib: read pidfile: cannot parse inet-address in  from pidfile"},
        {"host without port", "1\nlocalhost\n", 0, 0, {}, "kvlib: read pidfile: cannot parse inet-address in localhost from pidfile"},
        {"bad port", "1\n127.0.0.1:http-alt-nope\n", 0, 0, {}, "kvlib: tcp: invalid port specified"},
        {"overlong line", nullptr, 0, 0, {}, "kvlib: read pidfile: line 2 of %s is longer than 253 characters"},
        {"missing file", nullptr, 0, 1, {"local:/nonexisten t=7"},
         "kvlib: cannot open daemon pidfile %s - no such file, set ipc address to /nonexisten"},
        {"missing file, resolve now", nullptr, 1, 0, {}, "kvlib: cannot open daemon pidfile %s - No such file or directory"},
    };
    for (const row& r : rows) {
        kvtest::temp_dir dir;
        const std::string path = dir / "kervald.pid";
        if (r.content != nullptr) kvtest::write_file(path, r.content);
        if (std::string(r.what) == "overlong line") kvtest::write_file(path, "1\n/" + std::string(300, 'x') + "\n");
        ASSERT_EQ(ipc::init(), ipc::IPC_OK);
        {
            kvtest::log_capture logged;
            std::unique_ptr<kv::addrlist> list = kv::addrlist::create();
            ASSERT_TRUE(list);
            EXPECT_EQ(list->add("pid:" + path, 7, r.resolve), r.result) << r.what << "\n" << logged.dump();
            EXPECT_EQ(entries(*list), r.added) << r.what;
            if (r.logged != nullptr) {
                std::string expected = r.logged;
                if (size_t at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, path);
                EXPECT_TRUE(logged.contains(expected)) << r.what << "\n" << logged.dump();
            }
        }
        ASSERT_EQ(ipc::done(), ipc::IPC_OK);
    }
}

TEST(Addrlist, PrimaryThenBackupsInOrderWithTheirTimeouts) {
    ASSERT_EQ(ipc::init(), ipc::IPC_OK);
    kvtest::temp_dir dir;
    kvtest::write_file(dir / "k.pid", "99\n/run/b.sock\n127.0.0.1:4000\n");
    std::unique_ptr<kv::addrlist> list = kv::addrlist::create();
    EXPECT_EQ(list->next(nullptr), nullptr);
    EXPECT_EQ(list->add("local:/run/a.sock", 10, 0), 1);
    EXPECT_EQ(list->add("PID:" + (dir / "k.pid"), 20, 0), 1);
    EXPECT_EQ(list->add("default", 0, 1), 1);
    kvtest::log_capture logged;
    EXPECT_EQ(list->add("inet:3000", 5, 0), 0);
    EXPECT_EQ(list->add("tcp:3000@x", 5, 0), 0);
    const std::vector<std::string> expected = {"local:/run/a.sock t=10", "local:/run/b.sock t=20",
                                               "inet:4000@127.0.0.1 t=20", "inet:3000@localhost t=0"};
    EXPECT_EQ(entries(*list), expected);
    list.reset();
    ASSERT_EQ(ipc::done(), ipc::IPC_OK);
}
