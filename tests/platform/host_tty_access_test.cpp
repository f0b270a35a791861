// Who may open a serial port of the host, and what a refused open tells:
// flock, TIOCEXCL and the UUCP lock file keep other openers out, and a
// failed open leaves an account of its cause. Run on pseudo-terminals.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host_tty_fixture.h"
#include "lock_file.h"
#include "open_failure.h"
#include "wince_open_failure.h"

using namespace host_tty;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string hdbLock(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

// Another user than root exists to switch to, and this process may switch.
bool canRunAsOtherUser() {
    return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0 && getpwnam("nobody") != nullptr &&
           getgrnam("nogroup") != nullptr;
}

// Exit status of a process of user nobody that opens `path` for reading and
// writing without flock, as a terminal program does: 0 when it opened.
int openAsNobody(const std::string& path) {
    const pid_t child = fork();
    if (child == 0) {
        execl("/usr/bin/setpriv", "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sh",
              "-c", "exec 3<>\"$0\"", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A process that lives until killed, and the ID of one that has ended.
pid_t startSleeper() {
    const pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    return child;
}

pid_t endedProcess() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// The port over a pseudo-terminal with the lock files in a folder of the test.
class HostTtyLocks : public HostTty {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/wince-locks-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        lockFolder = pattern;
        if (const char* previous = std::getenv("WINCE_LOCK_DIR")) previousLockFolder = previous;
        setenv("WINCE_LOCK_DIR", lockFolder.c_str(), 1);
        HostTty::SetUp();
        lockPath = lockFolder + "/" + wince::lockFileName(terminal.slavePath);
    }

    void TearDown() override {
        HostTty::TearDown();
        if (sleeper > 0) {
            kill(sleeper, SIGKILL);
            waitpid(sleeper, nullptr, 0);
        }
        std::filesystem::remove_all(lockFolder);
        if (previousLockFolder.empty())
            unsetenv("WINCE_LOCK_DIR");
        else
            setenv("WINCE_LOCK_DIR", previousLockFolder.c_str(), 1);
    }

    void closePort() {
        ASSERT_TRUE(CloseHandle(port));
        port = INVALID_HANDLE_VALUE;
    }

    std::string lockFolder;
    std::string previousLockFolder;
    std::string lockPath;
    pid_t sleeper = -1;
};

TEST(LockFileNames, NameTheDeviceBelowDev) {
    EXPECT_EQ(wince::lockFileName("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(wince::lockFileName("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(wince::lockFileName("/tmp/devices/ttyFAKE1"), "LCK..ttyFAKE1");
}

TEST_F(HostTtyLocks, LockFileNamesThisProcessWhileThePortIsOpen) {
    // The port was opened through a link: the lock names the real device.
    const std::string& slave = terminal.slavePath;
    EXPECT_EQ(lockPath, lockFolder + "/LCK..pts_" + slave.substr(slave.rfind('/') + 1));
    EXPECT_EQ(readFile(lockPath), hdbLock(getpid()));
    struct stat info {};
    ASSERT_EQ(stat(lockPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);  // other programs read the owner
    closePort();
    EXPECT_FALSE(std::filesystem::exists(lockPath));
    EXPECT_TRUE(std::filesystem::is_empty(lockFolder));  // no temporary file left either
}

TEST_F(HostTtyLocks, LiveLockFileOfAnotherProcessRefusesTheOpenAsInUse) {
    closePort();
    sleeper = startSleeper();
    writeFile(lockPath, hdbLock(sleeper));
    EXPECT_EQ(openPort(u"COM7:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    const std::string why = wince::lastOpenFailure();
    EXPECT_TRUE(contains(why, "process " + std::to_string(sleeper))) << why;
    EXPECT_TRUE(contains(why, lockPath)) << why;
    EXPECT_EQ(readFile(lockPath), hdbLock(sleeper));  // not ours to remove
}

TEST_F(HostTtyLocks, StaleLockFileIsReplaced) {
    closePort();
    for (const std::string& stale :
         {hdbLock(endedProcess()), std::string("garbage\n"), std::string(""), hdbLock(getpid())}) {
        writeFile(lockPath, stale);
        port = openPort(u"COM7:");
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << "lock file \"" << stale << "\": " << GetLastError();
        EXPECT_EQ(readFile(lockPath), hdbLock(getpid()));
        closePort();
        EXPECT_FALSE(std::filesystem::exists(lockPath));
    }
}

TEST_F(HostTtyLocks, FailedOpenLeavesNoLockFile) {
    HANDLE second = openPort(u"COM7:");  // refused by the flock of the first
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(readFile(lockPath), hdbLock(getpid()));  // the first one's, still there
    closePort();
    EXPECT_FALSE(std::filesystem::exists(lockPath));
}

TEST_F(HostTtyLocks, WithoutAWritableLockFolderThePortStillOpensExclusively) {
    closePort();
    setenv("WINCE_LOCK_DIR", (lockFolder + "/missing").c_str(), 1);
    port = openPort(u"COM7:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(openPort(u"COM7:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(HostTty, OtherUsersCannotOpenThePortWhileItIsOpen) {
    if (!canRunAsOtherUser()) GTEST_SKIP() << "needs root and setpriv to open as user nobody";
    ASSERT_EQ(chmod(terminal.slavePath.c_str(), 0666), 0);
    EXPECT_NE(openAsNobody(terminal.slavePath), 0) << "a program without flock opened the port";
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    EXPECT_EQ(openAsNobody(terminal.slavePath), 0) << "the port stayed closed to others after it was closed";
}

TEST_F(HostTty, RefusedOpenTellsTheHostPathAndWhy) {
    EXPECT_EQ(openPort(u"COM7:"), INVALID_HANDLE_VALUE);
    const std::string why = wince::lastOpenFailure();
    EXPECT_TRUE(contains(why, "open COM7: (" + terminal.link + ") failed, code 5: ")) << why;
    EXPECT_TRUE(contains(why, "already open")) << why;
    EXPECT_TRUE(contains(why, "fuser -v " + terminal.link)) << why;

    EXPECT_EQ(openPort(u"COM9:"), INVALID_HANDLE_VALUE);  // mapped to nothing
    EXPECT_TRUE(contains(wince::lastOpenFailure(), "No such file or directory; no device there"));
    EXPECT_EQ(openPort(u"COM5:"), INVALID_HANDLE_VALUE);  // not mapped
    EXPECT_TRUE(contains(wince::lastOpenFailure(), "WINCE_DEVICES does not map this name"));

    ASSERT_TRUE(CloseHandle(port));
    port = openPort(u"COM7:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(wince::lastOpenFailure(), "");
}

TEST_F(HostTty, AccountGoesToStderrOnlyWhenAsked) {
    unsetenv("WINCE_OPEN_DIAGNOSTICS");
    testing::internal::CaptureStderr();
    EXPECT_EQ(openPort(u"COM5:"), INVALID_HANDLE_VALUE);
    setenv("WINCE_OPEN_DIAGNOSTICS", "0", 1);
    EXPECT_EQ(openPort(u"COM5:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    setenv("WINCE_OPEN_DIAGNOSTICS", "1", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(openPort(u"COM7:"), INVALID_HANDLE_VALUE);
    const std::string printed = testing::internal::GetCapturedStderr();
    unsetenv("WINCE_OPEN_DIAGNOSTICS");
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);  // printing leaves the last error alone
    EXPECT_EQ(printed, "tavrix-natives: " + wince::lastOpenFailure() + "\n");
}

TEST_F(HostTty, AccountTextIsCutToTheCallersBuffer) {
    EXPECT_EQ(openPort(u"COM5:"), INVALID_HANDLE_VALUE);
    WCHAR text[10];
    EXPECT_EQ(HostOpenFailureText(text, 10), 9u);
    EXPECT_EQ(std::u16string(text), u"open COM5");
    ASSERT_TRUE(CloseHandle(port));
    port = openPort(u"COM7:");
    EXPECT_EQ(HostOpenFailureText(text, 10), 0u);
    EXPECT_EQ(text[0], 0);
}

// What a user outside the device's group is told, from a child process that
// has become user nobody.
TEST_F(HostTty, PermissionProblemNamesTheGroupAndTheFix) {
    if (!canRunAsOtherUser()) GTEST_SKIP() << "needs root to open as user nobody";
    const group* dialout = getgrnam("dialout");
    if (dialout == nullptr) GTEST_SKIP() << "no group dialout on this host";
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    ASSERT_EQ(chown(terminal.slavePath.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(terminal.slavePath.c_str(), 0660), 0);
    ASSERT_EQ(chmod(deviceFolder().c_str(), 0755), 0);  // the link to it is for all to follow
    const passwd* nobody = getpwnam("nobody");
    const gid_t nogroup = getgrnam("nogroup")->gr_gid;
    int answer[2];
    ASSERT_EQ(pipe(answer), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(answer[0]);
        if (setgroups(0, nullptr) != 0 || setgid(nogroup) != 0 || setuid(nobody->pw_uid) != 0) _exit(2);
        HANDLE refused = openPort(u"COM7:");
        const std::string text = std::to_string(GetLastError()) + "|" + wince::lastOpenFailure();
        [[maybe_unused]] ssize_t n = write(answer[1], text.data(), text.size());
        _exit(refused == INVALID_HANDLE_VALUE ? 0 : 1);
    }
    close(answer[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(answer[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(answer[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the open did not fail: " << text;
    EXPECT_EQ(text.substr(0, 2), "5|") << text;
    EXPECT_TRUE(contains(text, "Permission denied; the device belongs to group dialout")) << text;
    EXPECT_TRUE(contains(text, "sudo usermod -aG dialout nobody")) << text;
}

}  // namespace
