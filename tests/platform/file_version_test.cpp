#include "platform/file_version.h"

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "support/temp_dir.h"
#include "support/version_record.h"

namespace zuntar {
namespace {

using test::VersionRecord;

TEST(FileVersion, FindsTheRecordAnywhere) {
  EXPECT_EQ(FindFixedFileInfo(VersionRecord(1, 0, 0, 1))->Text(), "1.0.0.1");
  const std::string bytes = std::string(1001, 'x') + VersionRecord(65535, 2, 300, 40000) + "tail";
  EXPECT_EQ(FindFixedFileInfo(bytes)->Text(), "65535.2.300.40000");
}

TEST(FileVersion, IgnoresWhatOnlyLooksLikeARecord) {
  // The signature alone (as an immediate inside machine code), a record
  // cut short by the end of the data, and nothing at all.
  const std::string bare = "\xBD\x04\xEF\xFE\x75\x10" + std::string(60, '\0');
  const std::string cut = VersionRecord(1, 2, 3, 4).substr(0, kFixedFileInfoSize - 1);
  for (const std::string& bytes : {bare, cut, std::string(), std::string("\xBD\x04\xEF")}) {
    EXPECT_FALSE(FindFixedFileInfo(bytes));
  }
  EXPECT_EQ(FindFixedFileInfo(bare + VersionRecord(5, 6, 7, 8))->Text(), "5.6.7.8");
}

TEST(FileVersion, ReadsRecordsAcrossReadBoundaries) {
  test::TempDir dir;
  // Around the 64 KiB piece size of the reader, so the record straddles it.
  for (size_t offset : {size_t{0}, size_t{65536 - 20}, size_t{65536 - 52}, size_t{65536}, size_t{200000}}) {
    SCOPED_TRACE(offset);
    WriteStringToFile(std::string(offset, '\xBD') + VersionRecord(2, 1, 0, 7), dir / "module.so");
    EXPECT_EQ(FileVersionText(dir / "module.so"), "2.1.0.7");
  }
}

TEST(FileVersion, FileWithoutRecordHasNoVersion) {
  test::TempDir dir;
  WriteStringToFile(std::string(100000, '\0'), dir / "plain");
  EXPECT_EQ(FileVersionText(dir / "plain"), "");
  EXPECT_EQ(FileVersionText(dir / "missing"), "");
}

}  // namespace
}  // namespace zuntar
