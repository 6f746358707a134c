#include "certs/cert_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "certs/vcert_error.h"
#include "platform/file_io.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

TEST(CopyDirectoryFiles, MissingSourceCreatesNothing) {
  test::TempDir dir;
  EXPECT_FALSE(CopyDirectoryFiles(dir / "missing", dir / "a/b"));
  EXPECT_FALSE(fs::exists(dir / "a"));
  WriteStringToFile("x", dir / "file");
  EXPECT_FALSE(CopyDirectoryFiles(dir / "file", dir / "a"));
  EXPECT_FALSE(fs::exists(dir / "a"));
}

TEST(CopyDirectoryFiles, CopiesFilesNotFoldersAndOverwrites) {
  test::TempDir dir;
  fs::create_directories(dir / "src/sub");
  const std::string binary("\0\x01\xFF\r\n", 5);
  WriteStringToFile(binary, dir / "src/primary.key");
  WriteStringToFile("hidden", dir / "src/.hidden");
  WriteStringToFile("inside", dir / "src/sub/inner");
  fs::create_symlink(dir / "src/primary.key", dir / "src/link.key");
  fs::create_directory_symlink(dir / "src/sub", dir / "src/sublink");
  fs::create_directories(dir / "dst/deep");
  WriteStringToFile("old content", dir / "dst/deep/primary.key");

  // Paths with or without the trailing delimiter; missing parents made.
  EXPECT_TRUE(CopyDirectoryFiles(dir / "src", dir / "dst/deep"));
  EXPECT_EQ(ReadFileToString(dir / "dst/deep/primary.key"), binary);
  EXPECT_EQ(ReadFileToString(dir / "dst/deep/.hidden"), "hidden");
  EXPECT_EQ(ReadFileToString(dir / "dst/deep/link.key"), binary);
  EXPECT_FALSE(fs::is_symlink(dir / "dst/deep/link.key"));
  EXPECT_FALSE(fs::exists(dir / "dst/deep/sub"));
  EXPECT_FALSE(fs::exists(dir / "dst/deep/sublink"));

  EXPECT_TRUE(CopyDirectoryFiles(dir / "src/sub/", dir / "new/a/b/"));
  EXPECT_EQ(ReadFileToString(dir / "new/a/b/inner"), "inside");
}

TEST(CopyDirectoryFiles, AFailedCopyStillCopiesTheRest) {
  test::TempDir dir;
  fs::create_directories(dir / "src");
  WriteStringToFile("a", dir / "src/a");
  WriteStringToFile("z", dir / "src/z");
  // A pipe cannot be copied as a file (and reading it would block).
  ASSERT_EQ(mkfifo((dir / "src/pipe").c_str(), 0600), 0);
  // A folder where a file should go.
  fs::create_directories(dir / "dst/z");
  EXPECT_FALSE(CopyDirectoryFiles(dir / "src", dir / "dst"));
  EXPECT_EQ(ReadFileToString(dir / "dst/a"), "a");
  EXPECT_FALSE(fs::exists(dir / "dst/pipe"));

  // A destination that cannot be made.
  WriteStringToFile("in the way", dir / "blocked");
  EXPECT_FALSE(CopyDirectoryFiles(dir / "src", dir / "blocked/dst"));
}

// The desktop's viewer is replaced by a script that records what it was
// given, as a viewer would read it.
TEST(ShowCertificate, TheViewerReadsTheFileBeforeItGoes) {
  test::TempDir bin, temp, seen;
  WriteStringToFile("#!/bin/sh\ncp \"$1\" '" + (seen / "copy") + "'\necho \"$1\" > '" + (seen / "path.tmp") +
                        "'\nmv '" + (seen / "path.tmp") + "' '" + (seen / "path") + "'\n",
                    bin / "xdg-open");
  ASSERT_EQ(chmod((bin / "xdg-open").c_str(), 0755), 0);
  const test::ScopedEnv path("PATH", bin.path() + ":/usr/bin:/bin");
  const test::ScopedEnv tmpdir("TMPDIR", temp.path());

  const Bytes body("\x30\x82\x01\x00 certificate bytes\0\xFF", 25);
  ShowCertificate(body, 1);
  ASSERT_TRUE(test::WaitUntil([&] { return fs::exists(seen / "path"); }));
  std::string shown = ReadFileToString(seen / "path");
  shown.pop_back();  // the line break
  EXPECT_EQ(ReadFileToString(seen / "copy"), body);
  const std::string name = fs::path(shown).filename();
  EXPECT_EQ(fs::path(shown).parent_path(), fs::path(temp.path()).parent_path());
  EXPECT_EQ(name.size(), 36u);
  EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), 32u);
  EXPECT_EQ(name.substr(32), ".cer");
  // Removed afterwards, by the launch and not by the caller.
  EXPECT_TRUE(test::WaitUntil([&] { return !fs::exists(shown); }));
}

TEST(ShowCertificate, NoViewerRaisesAndLeavesNoFile) {
  test::TempDir bin, temp;
  const test::ScopedEnv path("PATH", bin.path());
  const test::ScopedEnv tmpdir("TMPDIR", temp.path());
  try {
    ShowCertificate("body");
    FAIL() << "no error";
  } catch (const VCERT_Error& e) {
    EXPECT_EQ(e.ErrorCode(), 2u);
    EXPECT_STREQ(e.ClassName(), "VCERT_Error");
    EXPECT_FALSE(std::string(e.what()).empty());
  }
  EXPECT_TRUE(fs::is_empty(temp.path()));
}

}  // namespace
}  // namespace zuntar
