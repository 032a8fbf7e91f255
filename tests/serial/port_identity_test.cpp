// Two names of one device, however spelt: the command line refuses such a pair. Only numeric
// addresses and localhost are looked up, never a name server's names.
#include "serial/port_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

#ifndef _WIN32
#include "pty_pair.h"
#endif

namespace {

std::string Same(const std::vector<std::string>& names) {
    const auto same = FindSamePort(names);
    return same ? std::to_string(same->first) + "=" + std::to_string(same->second) : "none";
}

TEST(PortIdentity, NetworkPortsByAddressAndPort) {
    const std::string p = ":4001";
    struct Case {
        std::vector<std::string> names;
        const char* same;
    };
    const Case cases[] = {
        {{"socket://127.0.0.1" + p, "socket://localhost" + p}, "0=1"},
        {{"socket://127.0.0.1" + p, "socket://LOCALHOST" + p}, "0=1"},
        {{"socket://127.1" + p, "socket://2130706433" + p}, "0=1"},
        {{"socket://127.0.0.1" + p, "socket://[::ffff:127.0.0.1]" + p}, "0=1"},
        {{"rfc2217://127.0.0.1" + p, "socket://127.0.0.1" + p}, "0=1"},  // one server either way
        {{"socket://[::1]" + p, "socket://[0:0::1]" + p}, "0=1"},
        {{"socket://127.0.0.1" + p, "socket://127.0.0.1:4002"}, "none"},
        {{"socket://127.0.0.1" + p, "socket://127.0.0.2" + p, "socket://[::1]" + p}, "none"},
        // The first later name that repeats an earlier one.
        {{"socket://127.0.0.2" + p, "socket://127.0.0.3" + p, "rfc2217://127.0.0.3" + p,
          "socket://127.0.0.2" + p},
         "1=2"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Same(c.names), c.same) << c.names[0] << " " << c.names[1];
    }
}

#ifdef _WIN32
TEST(PortIdentity, ComPortsBySpelling) {
    EXPECT_EQ(Same({"COM3", "\\\\.\\com3"}), "0=1");
    EXPECT_EQ(Same({"COM3", "COM13"}), "none");
}
#else
// The device behind the names: links followed, a character device by its device number, any
// other file by its file system and inode.
TEST(PortIdentity, LocalPortsByDevice) {
    ScratchDir dir;
    CPtyPair a, b;
    fs::create_symlink(a.SlavePath(), dir / "by-id");
    fs::create_symlink(dir / "by-id", dir / "link-to-link");
    WriteFile(dir / "file", "x");
    fs::create_hard_link(dir / "file", dir / "hard");
    WriteFile(dir / "other", "x");
    const std::string d = dir.Path().string();
    struct Case {
        std::vector<std::string> names;
        const char* same;
    };
    const Case cases[] = {
        {{a.SlavePath(), d + "/by-id"}, "0=1"},
        {{d + "/link-to-link", b.SlavePath(), a.SlavePath()}, "0=2"},
        {{a.SlavePath(), b.SlavePath()}, "none"},
        {{d + "/file", d + "/hard"}, "0=1"},
        {{d + "/file", d + "/other"}, "none"},
        {{d + "/gone", d + "/sub/../gone"}, "0=1"},  // not there: by spelling
        {{d + "/gone", d + "/gone2"}, "none"},
        {{"socket://127.0.0.1:4001", d + "/127.0.0.1:4001"}, "none"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Same(c.names), c.same) << c.names[0] << " " << c.names[1];
    }
}
#endif

}  // namespace
