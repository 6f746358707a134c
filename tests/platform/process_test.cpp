#include "platform/process.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/desktop_viewer.h"
#include "platform/file_io.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace zuntar {
namespace {

namespace fs = std::filesystem;

TEST(ProcessMemory, ALargeBlockFreedAfterALargerOneStillGoesBackToTheSystem) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator manages blocks its own way";
#else
  ReturnLargeBlocksWhenFreed();
  constexpr size_t kMiB = 1024 * 1024;
  // Without the setting, freeing this raises glibc's threshold to 8 MiB and
  // the next block of 2 MiB comes from the heap, where it stays.
  void* larger = std::malloc(8 * kMiB);
  ASSERT_NE(larger, nullptr);
  std::memset(larger, 1, 8 * kMiB);
  std::free(larger);
  const size_t mapped = mallinfo2().hblkhd;
  void* block = std::malloc(2 * kMiB);
  ASSERT_NE(block, nullptr);
  std::memset(block, 1, 2 * kMiB);
  EXPECT_GE(mallinfo2().hblkhd, mapped + 2 * kMiB);  // a mapping of its own
  std::free(block);
  EXPECT_EQ(mallinfo2().hblkhd, mapped);  // and gone with it
#endif
}

TEST(RunProgram, ArgumentsPassAsTheyAre) {
  test::TempDir dir;
  EXPECT_EQ(RunProgram({"/bin/sh", "-c", "printf '%s|%s' \"$1\" \"$2\" > out", "sh", "a \"b\" c", ""}, dir.path()),
            0);
  EXPECT_EQ(ReadFileToString(dir / "out"), "a \"b\" c|");
  EXPECT_EQ(RunProgram({"sh", "-c", "exit 9"}, ""), 9);  // found in PATH
  EXPECT_EQ(RunProgram({"/no/such/program"}, ""), -1);
  EXPECT_EQ(RunProgram({}, ""), -1);
}

// xdg-open is replaced by a script that reads the file only once the test
// lets it: a launch that waited for the viewer would never return in time,
// and the script would give up instead.
TEST(OpenInDesktopViewer, TheFileOutlivesTheLauncherAndThenGoes) {
  test::TempDir bin, dir;
  WriteStringToFile("#!/bin/sh\n"
                    "i=0\n"
                    "while [ ! -e '" + (dir / "go") + "' ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
                    "if [ -e '" + (dir / "go") + "' ]; then cat \"$1\"; else echo gave up; fi > '" +
                        (dir / "read.tmp") + "'\n"
                    "mv '" + (dir / "read.tmp") + "' '" + (dir / "read") + "'\n",
                    bin / "xdg-open");
  ASSERT_EQ(chmod((bin / "xdg-open").c_str(), 0755), 0);
  const test::ScopedEnv path("PATH", bin.path() + ":/usr/bin:/bin");
  WriteStringToFile("certificate", dir / "shown file.cer");

  ASSERT_TRUE(OpenInDesktopViewer(dir / "shown file.cer", 1));
  EXPECT_FALSE(fs::exists(dir / "read"));
  WriteStringToFile("", dir / "go");
  ASSERT_TRUE(test::WaitUntil([&] { return fs::exists(dir / "read"); }));
  EXPECT_EQ(ReadFileToString(dir / "read"), "certificate");
  EXPECT_TRUE(test::WaitUntil([&] { return !fs::exists(dir / "shown file.cer"); }));
}

TEST(OpenInDesktopViewer, WithoutXdgOpenTheFileStaysWithTheCaller) {
  test::TempDir bin, dir;
  const test::ScopedEnv path("PATH", bin.path());
  WriteStringToFile("certificate", dir / "x.cer");
  EXPECT_FALSE(OpenInDesktopViewer(dir / "x.cer"));
  EXPECT_TRUE(fs::exists(dir / "x.cer"));
}

}  // namespace
}  // namespace zuntar
