#include "engine/run_log.h"
#include "engine/user_folders.h"
#include "engine_fixture.h"
#include "runtime/dates.h"
#include "support/environment.h"

#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <regex>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace mirl {
namespace {

using test::EngineTest;
using test::EnvironmentFor;

const std::string Blank140(140, ' ');

class RunLogTest : public EngineTest {};

TEST_F(RunLogTest, StartsAsABlankHeaderAndTakesLines) {
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    EXPECT_EQ(Log(), Blank140 + "\r\n");
    WriteLogLine("plain", LogPlace::Appended, LogStamp::None);
    const int32_t now = DateNow();
    WriteLogLine("CloseFile <x> dauerte lange: 3001ms");
    const std::string log = Log();
    EXPECT_TRUE(log.starts_with(Blank140 + "\r\nplain\r\n"));
    const std::string stamped = log.substr(142 + 7);
    EXPECT_TRUE(
        std::regex_match(stamped, std::regex(R"(\d\d-\d\d:\d\d:\d\d CloseFile <x> dauerte lange: 3001ms\r\n)")));
    EXPECT_EQ(stamped.substr(0, 8), DateToText("%dd-%hh:%ii", now)) << "the stamp is the local day and time";

    // A new start begins a new log.
    StartEngine();
    EXPECT_EQ(Log(), Blank140 + "\r\n");
    EXPECT_EQ(FileSizeQuery(Engine().DataFolder), -2) << "the data folder was made";
}

TEST_F(RunLogTest, TheFinalStatusGoesOverTheHeaderAndNeverBeyond) {
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    const std::string body = "23-13:02:12 body line\r\n";
    const auto finalLog = [&](const std::string& status) {
        StartRunLog();
        WriteLogLine("body line", LogPlace::Appended, LogStamp::None);
        WriteLogLine(status, LogPlace::Header, LogStamp::None);
        return Log();
    };
    EXPECT_EQ(finalLog("abc"), "abc\r\n" + std::string(135, ' ') + "\r\nbody line\r\n");
    EXPECT_EQ(finalLog(""), "\r\n" + std::string(138, ' ') + "\r\nbody line\r\n");
    EXPECT_EQ(finalLog("a\r\nb\r\n"), "a\r\nb\r\n\r\n" + std::string(132, ' ') + "\r\nbody line\r\n");
    EXPECT_EQ(finalLog(std::string(138, 'x')), std::string(138, 'x') + "\r\n\r\nbody line\r\n");
    EXPECT_EQ(finalLog(std::string(139, 'x')), std::string(139, 'x') + "\r\n\nbody line\r\n");
    EXPECT_EQ(finalLog(std::string(140, 'x')), std::string(140, 'x') + "\r\nbody line\r\n");
    EXPECT_EQ(finalLog(std::string(141, 'x')), std::string(140, 'x') + "\r\nbody line\r\n");
    EXPECT_EQ(finalLog(std::string(600, 'x')), std::string(140, 'x') + "\r\nbody line\r\n");
    // A two-byte character across the end of the header area is left out whole.
    EXPECT_EQ(finalLog(std::string(139, 'x') + "ä"), std::string(139, 'x') + "\r\n\nbody line\r\n");
    EXPECT_EQ(finalLog(std::string(138, 'x') + "ää"), std::string(138, 'x') + "ä\r\nbody line\r\n");
}

TEST_F(RunLogTest, ALogHeldByAnotherProgramLosesTheLineQuietly) {
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    const int other = open(LogPath().c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(other, F_OFD_SETLK, &lock), 0);
    WriteLogLine("lost", LogPlace::Appended, LogStamp::None);
    close(other);
    WriteLogLine("kept", LogPlace::Appended, LogStamp::None);
    EXPECT_EQ(Log(), Blank140 + "\r\nkept\r\n");
}

TEST_F(RunLogTest, ALogSwappedForALinkNeverWritesThroughIt) {
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    const std::string target = folder / "precious";
    test::WriteFileBytes(target, "not the log's to touch");
    ASSERT_EQ(unlink(LogPath().c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), LogPath().c_str()), 0);
    WriteLogLine("appended");
    WriteLogLine("final status", LogPlace::Header, LogStamp::None);
    EXPECT_EQ(test::ReadFileBytes(target), "not the log's to touch");
    // A new start replaces the link with a log of its own.
    StartEngine();
    EXPECT_EQ(Log(), Blank140 + "\r\n");
    EXPECT_EQ(test::ReadFileBytes(target), "not the log's to touch");
}

TEST_F(RunLogTest, AnInstalledProgramLogsIntoTheUsersStateFolder) {
    const std::string state = folder / "state";
    const EnvironmentFor environment({{"HOME", folder.Path()}, {"XDG_STATE_HOME", state}});
    Engine().ProgramFolder = "/usr/bin/";
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    EXPECT_EQ(Engine().LogFolder, state + "/mirl/");
    EXPECT_EQ(test::ReadFileBytes(state + "/mirl/Mirl.log"), Blank140 + "\r\n");
    struct stat made {};
    ASSERT_EQ(stat((state + "/mirl").c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0700u) << "the log's folder is the user's alone";
    EXPECT_EQ(access("/usr/bin/Mirl.log", F_OK), -1);
}

TEST_F(RunLogTest, AStateFolderNamedOutsideTheHomeTakesTheLogToo) {
    // As a site may set it: an existing folder of the user's outside the home.
    const std::string home = folder / "home";
    const std::string state = folder / "srv-state";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
    const EnvironmentFor environment({{"HOME", home}, {"XDG_STATE_HOME", state}});
    Engine().ProgramFolder = "/usr/bin/";
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    EXPECT_EQ(Engine().LogFolder, state + "/mirl/");
    EXPECT_EQ(test::ReadFileBytes(state + "/mirl/Mirl.log"), Blank140 + "\r\n");
    EXPECT_TRUE(TakeLogLock()) << "the lock lies there too, and this process holds it";
    EXPECT_EQ(access((state + "/mirl/Mirl.lock").c_str(), F_OK), 0);
}

TEST_F(RunLogTest, ASecondMirlSaysSoAndLeavesTheFirstOnesLogAlone) {
    // The first Mirl is another process that holds the lock next to the log.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t first = fork();
    if (first == 0) {
        const int lock = open((folder / "Mirl.lock").c_str(), O_RDWR | O_CREAT, 0600);
        const char held = flock(lock, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        [[maybe_unused]] const ssize_t told = write(ready[1], &held, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    close(ready[0]);
    ASSERT_EQ(held, 1);
    test::WriteFileBytes(LogPath(), "the first one's log");

    StartEngine();
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    EXPECT_TRUE(Engine().AnotherMirlRuns);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Mirl läuft bereits.\r\nBitte erst das laufende Mirl beenden."});
    EXPECT_EQ(Log(), "the first one's log");

    // Once the first one has ended, however it ended, the next start is the only one.
    Engine().AnotherMirlRuns = false;
    StartEngine();
    EXPECT_FALSE(Engine().AnotherMirlRuns);
    EXPECT_EQ(Log(), Blank140 + "\r\n");
}

TEST_F(RunLogTest, AHomeThatDoesNotExistIsNeverMade) {
    // As for Debian's `nobody`, whose home /nonexistent must never exist; the state folder named
    // outside it is not made either.
    const std::string home = folder / "nonexistent";
    const EnvironmentFor environment(
        {{"HOME", home + "/home"}, {"XDG_STATE_HOME", home + "/state"}, {"XDG_DATA_HOME", ""}});
    Engine().ProgramFolder = "/usr/bin/";
    Engine().DataFolder.clear();
    ASSERT_NO_FATAL_FAILURE(OpenProgram());
    EXPECT_EQ(UserHome(), "");
    EXPECT_EQ(Engine().LogFolder, "") << "no log rather than a home made for it";
    EXPECT_EQ(Engine().DataFolder, "");
    EXPECT_EQ(access(home.c_str(), F_OK), -1) << "the missing home was made";
    WriteLogLine("nowhere");
    EXPECT_EQ(access(home.c_str(), F_OK), -1);

    // With the home there, the state folder in it is made.
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((home + "/home").c_str(), 0700), 0);
    const EnvironmentFor inHome({{"XDG_STATE_HOME", home + "/home/.local/state"}});
    EXPECT_TRUE(MakePrivateFolders(home + "/home/.local/state/mirl/"));
    EXPECT_FALSE(MakePrivateFolders(home + "/state/mirl/")) << "outside the home";
    // A base folder the user named is made where only it is missing, as the XDG rules ask.
    const EnvironmentFor named({{"XDG_STATE_HOME", folder / "elsewhere"}});
    EXPECT_TRUE(MakePrivateFolders(folder / "elsewhere/mirl/"));
}

TEST_F(RunLogTest, WithoutHomeTheFoldersComeFromThePasswordEntryNeverFromTheCurrentFolder) {
    const std::string home = getenv("HOME") != nullptr ? getenv("HOME") : "";
    unsetenv("HOME");
    setenv("XDG_STATE_HOME", "relative/state", 1);
    const std::string userHome = UserHome();
    const std::string stateFolder = UserStateFolder();
    unsetenv("XDG_STATE_HOME");
    if (!home.empty()) {
        setenv("HOME", home.c_str(), 1);
    }
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(userHome, std::string(entry->pw_dir) + "/");
    EXPECT_EQ(stateFolder, userHome + ".local/state/") << "a relative XDG folder is ignored";
}

} // namespace
} // namespace mirl
