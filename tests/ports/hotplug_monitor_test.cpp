// The hot-plug monitor: which udev actions count, and the virtual ports folder watched for
// links that come and go (no adapter can be plugged in by a test).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include "ports/hotplug_monitor.h"
#include "pty_pair.h"
#include "test_util.h"

using namespace std::chrono_literals;

namespace {

// Long enough for any loaded machine to deliver a notice; only reached on failure.
constexpr auto kPatience = 10s;
// How long to watch for a notice that must not come.
constexpr auto kQuiet = 400ms;

TEST(HotPlug, OnlyArrivalRemovalAndRenamingChangeTheList) {
    const std::pair<const char*, bool> cases[] = {
        {"add", true},     {"remove", true}, {"move", true},   {"change", false}, {"bind", false},
        {"unbind", false}, {"", false},      {"added", false}, {nullptr, false},
    };
    for (const auto& [action, changes] : cases) {
        EXPECT_EQ(IsPortChangeAction(action), changes) << (action ? action : "null");
    }
}

class Monitor : public ::testing::Test {
protected:
    CPortMonitor::Options FolderOnly(std::chrono::milliseconds debounce = 50ms) const {
        CPortMonitor::Options options;
        options.virtualFolder = m_folder.string();
        options.followDevices = false;
        options.debounce = debounce;
        return options;
    }
    ScratchDir m_dir;
    fs::path m_folder = m_dir / "quillon" / "ports";
    CPtyPair m_pty;
};

// The folder is made, private (only its owner may plant links). What a Qt event loop does:
// wait for the descriptor, then let the monitor look. A burst (a link replaced the way ln -sf
// does it, another one come and gone) is one notice; the link leaving later is one more.
TEST_F(Monitor, OneNoticePerBurstAndARemovedFolderIsMadeAgain) {
    CPortMonitor monitor(FolderOnly(500ms));
    ASSERT_TRUE(monitor.IsWorking());
    for (const fs::path& p : {m_folder, m_folder.parent_path()}) {
        struct stat info {};
        ASSERT_EQ(stat(p.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u) << p;
    }
    int notices = monitor.ProcessEvents();
    fs::create_symlink(m_pty.SlavePath(), m_folder / "a.tmp");
    notices += monitor.ProcessEvents();
    fs::rename(m_folder / "a.tmp", m_folder / "a");
    notices += monitor.ProcessEvents();
    fs::create_symlink(m_pty.SlavePath(), m_folder / "b");
    fs::remove(m_folder / "b");
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < end) {
        pollfd entry{monitor.GetFd(), POLLIN, 0};
        if (poll(&entry, 1, 100) > 0 && monitor.ProcessEvents()) {
            ++notices;
        }
    }
    EXPECT_EQ(notices, 1);
    fs::remove(m_folder / "a");
    EXPECT_TRUE(monitor.WaitForChange(kPatience));
    EXPECT_FALSE(monitor.WaitForChange(kQuiet));

    // The folder removed is made again and watched.
    fs::remove_all(m_folder);
    EXPECT_TRUE(monitor.WaitForChange(kPatience));
    EXPECT_TRUE(monitor.IsWatchingFolder());
    EXPECT_TRUE(fs::is_directory(m_folder));
    fs::create_symlink(m_pty.SlavePath(), m_folder / "sim");
    EXPECT_TRUE(monitor.WaitForChange(kPatience));
}

// A folder that is not private is not watched; with devices not followed either, there is no
// monitor, and the program goes on without one. (Which folders count as private is the port
// source's test.)
TEST_F(Monitor, NothingToWatch) {
    fs::create_directories(m_folder);
    fs::permissions(m_folder, fs::perms::all);
    CPortMonitor monitor(FolderOnly());
    EXPECT_FALSE(monitor.IsWorking());
    EXPECT_EQ(monitor.GetFd(), -1);
}

}  // namespace
