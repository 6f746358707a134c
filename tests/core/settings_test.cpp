#include "core/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "core/process_values.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace zuntar {
namespace {

const std::string kExeDir = "/opt/zuntar/";

Settings Parse(std::vector<std::string> lines) { return ParseSettings(lines, kExeDir); }

TEST(ParseSettings, DefaultsWhenEmpty) {
  const Settings s = Parse({});
  EXPECT_EQ(s.DBPATH, "/opt/zuntar/ZuntarMervoPlugin.gdb");
  EXPECT_EQ(s.DBUSER, "SYSDBA");
  EXPECT_EQ(s.DBPASSWORD.size(), 1u);
  EXPECT_EQ(s.LOGDIRNAME, "");
  EXPECT_EQ(s.HTTPPORT, 18080);
  EXPECT_EQ(s.POOLSIZE, 1);
  EXPECT_EQ(s.MAXCONNECTIONS, 40);
  EXPECT_EQ(s.LOG_LEVEL, 3);
  EXPECT_EQ(s.TIMEOUTBEFORESTARTHTTP, 100);
  EXPECT_EQ(s.DISABLE_NAGLE_ALG, 0);
  EXPECT_EQ(s.USE_SMALL_BUFFER, 0);
  EXPECT_EQ(s.LISTENQUEUE, 10);
  EXPECT_EQ(s.READTIMEOUT, 0);
  EXPECT_EQ(s.STARTUPPRIORITYCLASS, 64);
  EXPECT_EQ(s.ALLOWEDORIGINS, "");
  EXPECT_EQ(s.CONFIRMORIGINS, 1);
  EXPECT_TRUE(s.UnreadOriginLines.empty());
}

struct IntCase {
  std::vector<std::string> lines;
  int Settings::*field;
  int expected;
};

TEST(ParseSettings, IntegerRules) {
  const IntCase cases[] = {
      {{"HTTPPORT=abc"}, &Settings::HTTPPORT, 80},         // malformed: fallback column
      {{"httpport=81"}, &Settings::HTTPPORT, 81},          // key case ignored
      {{"HTTPPORT =81"}, &Settings::HTTPPORT, 18080},      // key not trimmed
      {{"HTTPPORT= 81"}, &Settings::HTTPPORT, 80},         // value not trimmed
      {{"HTTPPORT="}, &Settings::HTTPPORT, 18080},         // empty = missing
      {{"HTTPPORT=82", "HTTPPORT=83"}, &Settings::HTTPPORT, 82},
      {{"HTTPPORT=", "HTTPPORT=83"}, &Settings::HTTPPORT, 18080},  // first line counts
      {{"HTTPPORT=+84"}, &Settings::HTTPPORT, 84},
      {{"HTTPPORT=99999999999"}, &Settings::HTTPPORT, 80},  // out of range
      {{"POOLSIZE=x"}, &Settings::POOLSIZE, 20},
      {{"POOLSIZE=0"}, &Settings::POOLSIZE, 0},
      {{"MAXCONNECTIONS=1.5"}, &Settings::MAXCONNECTIONS, 100},
      {{"LOG_LEVEL=-"}, &Settings::LOG_LEVEL, 1},
      {{"LOG_LEVEL=0"}, &Settings::LOG_LEVEL, 0},
      {{"TIMEOUTBEFORESTARTHTTP=soon"}, &Settings::TIMEOUTBEFORESTARTHTTP, 100},
      {{"LISTENQUEUE=q"}, &Settings::LISTENQUEUE, 10},
      {{"READTIMEOUT=-5"}, &Settings::READTIMEOUT, -5},
      {{"READTIMEOUT=t"}, &Settings::READTIMEOUT, 0},
      {{"STARTUPPRIORITYCLASS=32"}, &Settings::STARTUPPRIORITYCLASS, 32},
      {{"STARTUPPRIORITYCLASS=high"}, &Settings::STARTUPPRIORITYCLASS, 64},
  };
  for (const IntCase& c : cases) EXPECT_EQ(Parse(c.lines).*c.field, c.expected) << c.lines.front();
}

TEST(ParseSettings, FlagsKeepTheirLowEightBits) {
  EXPECT_EQ(Parse({"DISABLE_NAGLE_ALG=1"}).DISABLE_NAGLE_ALG, 1);
  EXPECT_EQ(Parse({"DISABLE_NAGLE_ALG=256"}).DISABLE_NAGLE_ALG, 0);
  EXPECT_EQ(Parse({"DISABLE_NAGLE_ALG=257"}).DISABLE_NAGLE_ALG, 1);
  EXPECT_EQ(Parse({"USE_SMALL_BUFFER=on"}).USE_SMALL_BUFFER, 0);
}

TEST(ParseSettings, TextRules) {
  EXPECT_EQ(Parse({"LOGDIRNAME=/var/log/zuntar"}).LOGDIRNAME, "/var/log/zuntar/");
  EXPECT_EQ(Parse({"LOGDIRNAME=/var/log/"}).LOGDIRNAME, "/var/log/");
  EXPECT_EQ(Parse({"DBPATH=   "}).DBPATH, "/opt/zuntar/ZuntarMervoPlugin.gdb");
  EXPECT_EQ(Parse({"DBPATH= /data/t.fdb"}).DBPATH, " /data/t.fdb");
  EXPECT_EQ(Parse({"DBPATH=host:/data/t.fdb"}).DBPATH, "host:/data/t.fdb");
  EXPECT_EQ(Parse({"DBUSER=a=b"}).DBUSER, "a=b");  // only the first '=' splits
  EXPECT_EQ(Parse({"garbage", "=x", "DBUSER"}).DBUSER, "SYSDBA");
}

TEST(ParseSettings, OriginKeys) {
  EXPECT_EQ(Parse({"allowedorigins=https://edo.example.ru; http://localhost:8080"}).ALLOWEDORIGINS,
            "https://edo.example.ru; http://localhost:8080");
  EXPECT_EQ(Parse({"ALLOWEDORIGINS="}).ALLOWEDORIGINS, "");  // empty = missing: no site listed
  EXPECT_EQ(Parse({"CONFIRMORIGINS=0"}).CONFIRMORIGINS, 0);
  EXPECT_EQ(Parse({"CONFIRMORIGINS=yes"}).CONFIRMORIGINS, 0);
  EXPECT_EQ(Parse({"CONFIRMORIGINS=256"}).CONFIRMORIGINS, 0);  // a flag, like the others
}

TEST(ParseSettings, OriginLinesNotReadAsWrittenAreReported) {
  const Settings s = Parse({"ALLOWEDORIGINS = https://edo.example.ru", " ALLOWEDORIGINS=https://a.example",
                            "\xEF\xBB\xBF" "CONFIRMORIGINS=0", "AllowedOrigins", "ALLOWEDORIGINS=",
                            "ALLOWEDORIGINS=https://b.example", "CONFIRMORIGINS=yes", "CONFIRMORIGINS=0",
                            "ALLOWEDORIGINSX=1", "#ALLOWEDORIGINS=https://c.example", "HTTPPORT =1"});
  EXPECT_EQ(s.ALLOWEDORIGINS, "");  // the first line with the key counts, and it is empty
  EXPECT_EQ(s.UnreadOriginLines,
            (std::vector<std::string>{"\"ALLOWEDORIGINS = https://edo.example.ru\" (a blank before \"=\")",
                                      "\" ALLOWEDORIGINS=https://a.example\" (text before the key)",
                                      "\"AllowedOrigins\" (no \"=\")",
                                      "\"ALLOWEDORIGINS=\" (an empty value)",
                                      "\"ALLOWEDORIGINS=https://b.example\" (the key is set by an earlier line)",
                                      "\"\xEF\xBB\xBF" "CONFIRMORIGINS=0\" (text before the key)",
                                      "\"CONFIRMORIGINS=yes\" (not a whole number: taken as 0)",
                                      "\"CONFIRMORIGINS=0\" (the key is set by an earlier line)"}));
  EXPECT_EQ(Parse({"ALLOWEDORIGINS=  "}).UnreadOriginLines,
            (std::vector<std::string>{"\"ALLOWEDORIGINS=  \" (only blanks after \"=\")"}));
}

TEST(MergeSettings, KeepsUnrelatedLinesInPlace) {
  Settings s = Parse({});
  s.HTTPPORT = 9000;
  s.LOGDIRNAME = "";
  const std::vector<std::string> merged =
      MergeSettings({"READTIMEOUT=5", "httpport=1", "LOGDIRNAME=/old/", "X=y"}, s);
  const std::vector<std::string> expected = {
      "READTIMEOUT=5",  "httpport=9000", "X=y", "DBPATH=/opt/zuntar/ZuntarMervoPlugin.gdb", "DBUSER=SYSDBA",
      "DBPASSWORD=" + s.DBPASSWORD, "POOLSIZE=1", "MAXCONNECTIONS=40", "LOG_LEVEL=3"};
  EXPECT_EQ(merged, expected);
}

TEST(SplitLines, AcceptsEveryLineEnd) {
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd\r\n"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n\r\nb"), (std::vector<std::string>{"a", "", "b"}));
}

class SettingsFile : public ::testing::Test {
 protected:
  void TearDown() override { SetLogLevel(Settings{}.LOG_LEVEL); }
  std::string config() const { return dir_ / "ZuntarMervoPlugin.ini"; }
  LoadedSettings Load() const { return LoadSettings(config(), dir_.path()); }
  test::TempDir dir_;
};

TEST_F(SettingsFile, MissingFileGivesDefaultsAndIsNotCreated) {
  const LoadedSettings loaded = Load();
  EXPECT_EQ(loaded.problem, "");
  EXPECT_EQ(loaded.settings.HTTPPORT, 18080);
  EXPECT_EQ(loaded.settings.DBPATH, dir_ / "ZuntarMervoPlugin.gdb");
  EXPECT_FALSE(FileExists(config()));
}

TEST_F(SettingsFile, BinaryOrHugeFilesAreIgnored) {
  WriteStringToFile(std::string("HTTPPORT=81\r\n\0\x01\x02", 16), config());
  EXPECT_NE(Load().problem, "");
  EXPECT_EQ(Load().settings.HTTPPORT, 18080);

  WriteStringToFile("HTTPPORT=81\r\n" + std::string(2 << 20, 'x'), config());
  EXPECT_NE(Load().problem, "");
  EXPECT_EQ(Load().settings.HTTPPORT, 18080);
}

TEST_F(SettingsFile, UnreadableFileGivesDefaults) {
  std::filesystem::create_directory(config());  // a folder cannot be read as a file
  EXPECT_NE(Load().problem, "");
  EXPECT_EQ(Load().settings.HTTPPORT, 18080);
}

TEST_F(SettingsFile, SaveThenLoadRoundTrips) {
  WriteStringToFile("READTIMEOUT=7\nLOG_LEVEL=0\nALLOWEDORIGINS=https://edo.example.ru\nCONFIRMORIGINS=1\n", config());
  Settings s = Load().settings;
  EXPECT_EQ(s.LOG_LEVEL, 0);
  s.HTTPPORT = 18555;
  s.LOGDIRNAME = "/var/tmp/";
  SaveSettings(config(), s);
  const std::string text = ReadFileToString(config());
  // The administrator's keys are not the window's: they stay as written.
  EXPECT_EQ(text.rfind("READTIMEOUT=7\r\nLOG_LEVEL=0\r\nALLOWEDORIGINS=https://edo.example.ru\r\nCONFIRMORIGINS=1\r\nDBPATH=", 0),
            0u)
      << text;
  EXPECT_NE(text.find("\r\nHTTPPORT=18555\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nLOGDIRNAME=/var/tmp/\r\n"), std::string::npos);
  const Settings read = Load().settings;
  EXPECT_EQ(read.HTTPPORT, 18555);
  EXPECT_EQ(read.READTIMEOUT, 7);
  EXPECT_EQ(read.ALLOWEDORIGINS, "https://edo.example.ru");
  EXPECT_EQ(read.CONFIRMORIGINS, 1);
}

// The package's configuration is a link to the administrator's file:
// saving goes through the link, which stays, and the file keeps its owner
// and mode. A configuration the program makes is the user's alone.
TEST_F(SettingsFile, SavingALinkedConfigurationReplacesItsTargetAndKeepsItsOwnerAndMode) {
  test::TempDir etc;
  const std::string target = etc / "ZuntarMervoPlugin.ini";
  WriteStringToFile("READTIMEOUT=7\r\n", target);
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(target.c_str(), 4242, 4243), 0);
  }
  ASSERT_EQ(symlink(target.c_str(), config().c_str()), 0);
  Settings s = DefaultSettings(dir_.path());
  s.HTTPPORT = 18777;
  SaveSettings(config(), s);

  struct stat st {};
  ASSERT_EQ(lstat(config().c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  const std::string text = ReadFileToString(target);
  EXPECT_EQ(text.rfind("READTIMEOUT=7\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("\r\nHTTPPORT=18777\r\n"), std::string::npos) << text;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(std::make_pair(st.st_uid, st.st_gid), std::make_pair(uid_t{4242}, gid_t{4243}));
  }

  ASSERT_EQ(unlink(config().c_str()), 0);
  SaveSettings(config(), s);
  ASSERT_EQ(lstat(config().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(SavedSettings, AsSavedReadsTheEightKeysBackAndKeepsTheRest) {
  Settings s = DefaultSettings(kExeDir);
  s.DBPATH = "   ";
  s.DBUSER = "";
  s.DBPASSWORD = "";
  s.LOGDIRNAME = "/var/log";
  s.READTIMEOUT = 9;  // not saved: stays as it is
  const Settings read = AsSaved(s, kExeDir);
  EXPECT_EQ(read.DBPATH, kExeDir + "ZuntarMervoPlugin.gdb");
  EXPECT_EQ(read.DBUSER, "SYSDBA");
  EXPECT_EQ(read.DBPASSWORD, DefaultSettings(kExeDir).DBPASSWORD);
  EXPECT_EQ(read.LOGDIRNAME, "/var/log/");
  EXPECT_EQ(read.READTIMEOUT, 9);
}

TEST_F(SettingsFile, ADeferredDatabasePathWaitsForStart) {
  SettingsInForce settings;
  Settings s = DefaultSettings(dir_.path());
  s.LOG_LEVEL = 0;
  settings.Set(s);
  EXPECT_EQ(LogLevel(), 0);  // the log follows the settings in force
  const std::string in_force = settings.Get().DBPATH;
  settings.DeferDatabasePath("/next.gdb");
  EXPECT_EQ(settings.Get().DBPATH, in_force);
  EXPECT_EQ(settings.DatabasePathForNextStart(), "/next.gdb");
  // Saving the path in force again drops the deferred one.
  settings.DeferDatabasePath(in_force);
  settings.ApplyDeferredDatabasePath();
  EXPECT_EQ(settings.Get().DBPATH, in_force);

  settings.DeferDatabasePath("/next.gdb");
  settings.ApplyDeferredDatabasePath();
  EXPECT_EQ(settings.Get().DBPATH, "/next.gdb");
  settings.ApplyDeferredDatabasePath();  // nothing deferred any more
  EXPECT_EQ(settings.Get().DBPATH, "/next.gdb");
}

TEST_F(SettingsFile, SaveWritesTheGivenValues) {
  Settings s = DefaultSettings(dir_.path());
  s.HTTPPORT = 18666;
  SaveSettings(config(), s);
  EXPECT_NE(ReadFileToString(config()).find("HTTPPORT=18666\r\n"), std::string::npos);
}

}  // namespace
}  // namespace zuntar
