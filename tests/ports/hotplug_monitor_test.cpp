// The hot-plug monitor on a temporary virtual ports folder (the device monitor is left out:
// no adapter can be plugged in by a test).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ports/hotplug_monitor.h"
#include "ports/port_source_linux.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Long enough for any loaded machine to deliver the notice; only reached on failure.
constexpr auto kPatience = 10s;
// How long to watch for a second notice that must not come.
constexpr auto kQuiet = 400ms;

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quillon-mon-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_base = pattern;
        m_folder = m_base / "quillon" / "ports";
        m_pty = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(m_pty, 0);
        ASSERT_EQ(grantpt(m_pty), 0);
        ASSERT_EQ(unlockpt(m_pty), 0);
        m_ptyName = ptsname(m_pty);
    }
    void TearDown() override {
        if (m_pty >= 0) {
            close(m_pty);
        }
        std::error_code ec;
        fs::remove_all(m_base, ec);
    }

    CPortMonitor::Options FolderOnly() const {
        CPortMonitor::Options options;
        options.virtualFolder = m_folder.string();
        options.followDevices = false;
        options.debounce = 50ms;
        return options;
    }

    // What a Qt event loop does: wait for the descriptor, then let the monitor look.
    static int CountNoticesViaFd(CPortMonitor& monitor, std::chrono::milliseconds window) {
        int notices = 0;
        const auto end = std::chrono::steady_clock::now() + window;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return notices;
            }
            pollfd entry{monitor.GetFd(), POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left.count())) > 0 && monitor.ProcessEvents()) {
                ++notices;
            }
        }
    }

    fs::path m_base;
    fs::path m_folder;
    int m_pty = -1;
    std::string m_ptyName;
};

// The folder is made private (only its owner may plant links), then each change is one notice.
TEST_F(MonitorTest, OneNoticeWhenALinkAppearsAndOneWhenItLeaves) {
    CPortMonitor monitor(FolderOnly());
    ASSERT_TRUE(monitor.IsWatchingFolder());
    EXPECT_TRUE(monitor.IsWorking());
    for (const fs::path& p : {m_folder, m_folder.parent_path()}) {
        struct stat info {};
        ASSERT_EQ(stat(p.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
    EXPECT_FALSE(monitor.ProcessEvents());

    fs::create_symlink(m_ptyName, m_folder / "quillon-sim");
    EXPECT_TRUE(monitor.WaitForChange(kPatience));
    EXPECT_FALSE(monitor.WaitForChange(kQuiet));

    fs::remove(m_folder / "quillon-sim");
    EXPECT_TRUE(monitor.WaitForChange(kPatience));
    EXPECT_FALSE(monitor.WaitForChange(kQuiet));
}

TEST_F(MonitorTest, DescriptorDrivenLoopSeesEachChangeOnce) {
    CPortMonitor::Options options = FolderOnly();
    options.debounce = 500ms;  // the burst below must fit in one quiet time
    CPortMonitor monitor(options);
    ASSERT_GE(monitor.GetFd(), 0);

    fs::create_symlink(m_ptyName, m_folder / "a");
    pollfd entry{monitor.GetFd(), POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 10000), 1);  // readable without anyone calling the monitor
    EXPECT_TRUE(monitor.WaitForChange(kPatience));
    EXPECT_EQ(CountNoticesViaFd(monitor, kQuiet), 0);

    // A burst (a link replaced the way ln -sf does it, another one come and gone), looked at
    // between its steps, still gives one notice once it has been quiet for a while.
    int notices = 0;
    fs::create_symlink(m_ptyName, m_folder / "a.tmp");
    notices += monitor.ProcessEvents();
    fs::rename(m_folder / "a.tmp", m_folder / "a");
    notices += monitor.ProcessEvents();
    fs::create_symlink(m_ptyName, m_folder / "b");
    notices += monitor.ProcessEvents();
    fs::remove(m_folder / "b");
    notices += monitor.ProcessEvents();
    notices += monitor.WaitForChange(kPatience);
    notices += CountNoticesViaFd(monitor, kQuiet);
    EXPECT_EQ(notices, 1);
}

TEST_F(MonitorTest, FolderRemovedAndMadeAgain) {
    CPortMonitor monitor(FolderOnly());
    ASSERT_TRUE(monitor.IsWatchingFolder());
    fs::remove_all(m_folder);
    EXPECT_TRUE(monitor.WaitForChange(kPatience));
    // The monitor made the folder again and watches it.
    EXPECT_TRUE(monitor.IsWatchingFolder());
    EXPECT_TRUE(fs::is_directory(m_folder));
    fs::create_symlink(m_ptyName, m_folder / "sim");
    EXPECT_TRUE(monitor.WaitForChange(kPatience));
}

TEST_F(MonitorTest, NoMonitorPossible) {
    // The folder cannot be made (its parent is a file) and devices are not followed.
    fs::create_directories(m_base);
    { std::ofstream(m_base / "file") << "x"; }
    CPortMonitor::Options options = FolderOnly();
    options.virtualFolder = (m_base / "file" / "ports").string();
    CPortMonitor monitor(options);
    EXPECT_FALSE(monitor.IsWorking());
    EXPECT_FALSE(monitor.IsWatchingFolder());
    EXPECT_EQ(monitor.GetFd(), -1);
    EXPECT_FALSE(monitor.ProcessEvents());
    EXPECT_FALSE(monitor.WaitForChange(10ms));
}

TEST_F(MonitorTest, UntrustedFolderIsNotWatched) {
    fs::create_directories(m_folder);
    fs::permissions(m_folder, fs::perms::all);  // anyone may plant links
    CPortMonitor monitor(FolderOnly());
    EXPECT_FALSE(monitor.IsWatchingFolder());
}

TEST_F(MonitorTest, DefaultFolderFollowsTheEnvironment) {
    const char* saved = getenv("XDG_RUNTIME_DIR");
    const std::string keep = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", m_base.c_str(), 1);
    {
        CPortMonitor::Options options;
        options.followDevices = false;
        CPortMonitor monitor(options);
        EXPECT_EQ(monitor.GetVirtualFolder(), m_folder.string());
        EXPECT_TRUE(monitor.IsWatchingFolder());
    }
    if (saved) {
        setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
}

}  // namespace
