#include "platform/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/exception.h"
#include "platform/guid.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

TEST(FileIo, WritesAndReadsBinaryContent) {
  test::TempDir dir;
  const std::string data("a\0b\r\n\xFF", 6);
  WriteStringToFile(data, dir / "f");
  EXPECT_EQ(ReadFileToString(dir / "f"), data);
  WriteStringToFile("x", dir / "f");  // truncates
  EXPECT_EQ(ReadFileToString(dir / "f"), "x");
}

TEST(FileIo, TailReadsTheLastBytes) {
  test::TempDir dir;
  WriteStringToFile("0123456789", dir / "f");
  EXPECT_EQ(ReadFileTail(dir / "f", 4), "6789");
  EXPECT_EQ(ReadFileTail(dir / "f", 10), "0123456789");
  EXPECT_EQ(ReadFileTail(dir / "f", 100), "0123456789");
  EXPECT_EQ(ReadFileTail(dir / "f", 0), "");
  EXPECT_THROW(ReadFileTail(dir / "missing", 4), EFOpenError);
}

TEST(FileIo, ErrorsAreExceptionsWithTheirClass) {
  test::TempDir dir;
  try {
    ReadFileToString(dir / "missing");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "EFOpenError");
    EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos);
  }
  EXPECT_THROW(WriteStringToFile("x", dir / "no/such/f"), EFCreateError);
}

TEST(FileIo, ReaderAndWriterRefuseEachOther) {
  test::TempDir dir;
  WriteStringToFile("content", dir / "f");
  {
    // Another writer holds the file.
    UniqueFd writer(::open((dir / "f").c_str(), O_WRONLY));
    ASSERT_EQ(::flock(writer.get(), LOCK_EX), 0);
    EXPECT_THROW(ReadFileToString(dir / "f"), EFOpenError);
  }
  {
    // Another reader holds the file.
    UniqueFd reader(::open((dir / "f").c_str(), O_RDONLY));
    ASSERT_EQ(::flock(reader.get(), LOCK_SH), 0);
    EXPECT_EQ(ReadFileToString(dir / "f"), "content");  // readers share
    EXPECT_THROW(WriteStringToFile("new", dir / "f"), EFCreateError);
  }
  EXPECT_EQ(ReadFileToString(dir / "f"), "content");  // the refused write changed nothing
}

TEST(DeletePath, RemovesTreesAndReadOnlyFilesButNotLinkTargets) {
  test::TempDir dir, outside;
  WriteStringToFile("keep", outside / "keep");
  fs::create_directories(dir / "tree/a/b");
  WriteStringToFile("1", dir / "tree/a/b/file");
  WriteStringToFile("2", dir / "tree/ro");
  chmod((dir / "tree/ro").c_str(), 0444);
  fs::create_directory_symlink(outside.path(), dir / "tree/link");
  DeletePath(dir / "tree", kFileAttributeDirectory);
  EXPECT_FALSE(fs::exists(dir / "tree"));
  EXPECT_TRUE(fs::exists(outside / "keep"));

  WriteStringToFile("3", dir / "single");
  chmod((dir / "single").c_str(), 0444);
  DeletePath(dir / "single", kFileAttributeReadOnly);
  EXPECT_FALSE(fs::exists(dir / "single"));
  EXPECT_NO_THROW(DeletePath(dir / "missing", kFileAttributeDirectory));
}

TEST(TempDirectory, EndsWithDelimiter) {
  const std::string t = TempDirectory();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back(), '/');
}

TEST(RunProcess, ReturnsExitCodeAndUsesWorkingDirectory) {
  test::TempDir dir;
  EXPECT_EQ(RunProcess("/bin/sh -c \"exit 7\"", ""), 7);
  EXPECT_EQ(RunProcess("/bin/sh -c \"pwd > out.txt\"", dir.path()), 0);
  EXPECT_EQ(ReadFileToString(dir / "out.txt"), dir.path().substr(0, dir.path().size() - 1) + "\n");
  EXPECT_EQ(RunProcess("/no/such/program", ""), 0);
  EXPECT_EQ(RunProcess("", ""), 0);
}

TEST(RunProcess, ChildInheritsNoDescriptors) {
  test::TempDir dir;
  UniqueFd first(::open((dir / "held").c_str(), O_WRONLY | O_CREAT, 0644));
  UniqueFd open_fd(::fcntl(first.get(), F_DUPFD, 57));  // not close-on-exec, above what ls opens
  const std::string cmd = "/bin/sh -c \"ls /proc/self/fd > " + (dir / "fds") + "\"";
  EXPECT_EQ(RunProcess(cmd, ""), 0);
  const std::string fds = ReadFileToString(dir / "fds");
  EXPECT_EQ(fds.find(std::to_string(open_fd.get()) + "\n"), std::string::npos) << fds;
}

TEST(SplitCommandLine, QuotesGroupBlanks) {
  EXPECT_EQ(SplitCommandLine("a \"b c\"  d"), (std::vector<std::string>{"a", "b c", "d"}));
  EXPECT_EQ(SplitCommandLine("\"\""), std::vector<std::string>{""});
}

TEST(NewGuidText, FormatAndUniqueness) {
  const std::string a = NewGuidText(), b = NewGuidText();
  ASSERT_EQ(a.size(), 36u);
  EXPECT_NE(a, b);
  for (size_t i : {8u, 13u, 18u, 23u}) EXPECT_EQ(a[i], '-');
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef-"), std::string::npos);
  EXPECT_EQ(a[14], '4');
}

}  // namespace
}  // namespace zuntar
