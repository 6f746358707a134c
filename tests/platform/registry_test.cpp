#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/exception.h"
#include "platform/file_io.h"
#include "platform/registry_writer.h"
#include "support/temp_dir.h"

namespace zuntar {
namespace {

std::optional<RegistryKey> OpenFromText(const std::string& text, std::string_view path) {
  return RegistryKey::Open(std::make_shared<const RegistryHive>(RegistryHive::Parse(text)), path);
}

// Both common spellings of a key path: regedit's and Wine's.
TEST(Registry, ReadsRegeditAndWineStyleFiles) {
  const std::string regedit =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\r\n"
      "\"Path\"=\"C:\\\\Program Files\\\\Vendor\"\r\n"
      "@=\"default\"\r\n"
      "\"Count\"=dword:0000002a\r\n";
  const std::string wine =
      "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n#arch=win64\n\n"
      "[Software\\\\Vendor\\\\Product] 1700000000\n#time=1d9\n"
      "\"Path\"=\"C:\\\\Program Files\\\\Vendor\"\n@=\"default\"\n\"Count\"=dword:0000002a\n";
  for (const std::string& text : {regedit, wine}) {
    SCOPED_TRACE(text);
    const auto key = OpenFromText(text, "SOFTWARE\\Vendor\\Product");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadString("Path"), "C:\\Program Files\\Vendor");
    EXPECT_EQ(key->ReadString(""), "default");
    EXPECT_EQ(key->ReadDword("Count"), 42u);
    EXPECT_FALSE(key->ReadString("Count"));  // another type
    EXPECT_FALSE(key->ReadDword("Path"));
    EXPECT_FALSE(key->ReadString("Missing"));
  }
}

TEST(Registry, NamesCompareWithoutRegardToCase) {
  const auto key = OpenFromText("[SOFTWARE\\Crypto Pro\\Settings]\n\"Version\"=\"5.0\"\n",
                                "hkey_local_machine\\software\\CRYPTO PRO\\settings");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ReadString("VERSION"), "5.0");
  EXPECT_EQ(key->Name(), "Settings");
  EXPECT_TRUE(OpenFromText("[A\\B]\n", "HKLM\\a\\b"));
}

TEST(Registry, SubkeysEnumerateInFileOrder) {
  // C is first named through its child, before B gets its own section.
  const std::string text =
      "[Root\\Zeta]\n[Root\\C\\Deep]\n\"X\"=\"1\"\n[Root\\Alpha]\n[root\\zeta]\n\"Y\"=\"2\"\n";
  const auto root = OpenFromText(text, "Root");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->SubKeyNames(), (std::vector<std::string>{"Zeta", "C", "Alpha"}));
  const auto deep = root->OpenSubKey("c\\DEEP");
  ASSERT_TRUE(deep);
  EXPECT_EQ(deep->ReadString("x"), "1");
  EXPECT_EQ(root->OpenSubKey("Zeta")->ReadString("Y"), "2");  // a repeated section adds to the key
  EXPECT_FALSE(root->OpenSubKey("Missing"));
}

TEST(Registry, StringEscapesAndOddLines) {
  const std::string text =
      "\"Orphan\"=\"before any key\"\n"
      "[K]\n"
      "\"Quote\"=\"say \\\"hi\\\"\"\n"
      "\"Wide\"=\"\\x0417\\x0423\"\n"
      "\"Expand\"=str(2):\"%SystemRoot%\\\\x\"\n"
      "\"Bin\"=hex:01,02,\\\n  03,04\n"
      "\"Broken\"=\"no end\n"
      "garbage line\n"
      "\"After\"=\"ok\"\n";
  const auto key = OpenFromText(text, "K");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ReadString("Quote"), "say \"hi\"");
  EXPECT_EQ(key->ReadString("Wide"), "ЗУ");
  EXPECT_FALSE(key->ReadString("Broken"));
  EXPECT_EQ(key->ReadString("After"), "ok");
  EXPECT_EQ(key->ReadString("Expand"), "%SystemRoot%\\x");
  EXPECT_TRUE(key->HasValue("Bin"));
  EXPECT_FALSE(key->ReadString("Bin"));
  EXPECT_EQ(key->ValueNames(), (std::vector<std::string>{"Quote", "Wide", "Expand", "Bin", "After"}));
  EXPECT_FALSE(OpenFromText(text, "Orphan"));
}

TEST(Registry, DeletionLinesRemoveKeysAndValues) {
  const auto root = OpenFromText("[R\\A]\n\"V\"=\"1\"\n\"W\"=\"2\"\n[R\\B]\n[-R\\B]\n[R\\A]\n\"V\"=-\n", "R");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->SubKeyNames(), (std::vector<std::string>{"A"}));
  EXPECT_FALSE(root->OpenSubKey("A")->HasValue("V"));
  EXPECT_EQ(root->OpenSubKey("A")->ReadString("W"), "2");
}

TEST(Registry, MissingFileHasNoKeys) {
  test::TempDir dir;
  EXPECT_FALSE(RegistryKey::OpenLocalMachine(dir / "none.reg", "SOFTWARE"));
}

TEST(Registry, LocalMachineComesFromThePlatformRoot) {
  test::TempDir dir;
  setenv("ZUNTAR_PLATFORM_ROOT", dir.path().c_str(), 1);
  WriteStringToFile("[SOFTWARE\\Test]\n\"Name\"=\"value\"\n", dir / "registry.reg");
  const auto key = RegistryKey::OpenLocalMachine("SOFTWARE\\Test");
  unsetenv("ZUNTAR_PLATFORM_ROOT");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ReadString("name"), "value");
}

TEST(RegistryWriter, SavedFileReadsBackTheSameTree) {
  test::TempDir dir;
  const std::string file = dir / "sub/registry.reg";  // the folder is created
  {
    RegistryWriter w(file);
    w.SetString("SOFTWARE\\B\\Key", "Text", "line\r\n\"quoted\" \\ back\x01");
    w.SetString("SOFTWARE\\B\\Key", "", "default");
    w.SetDword("SOFTWARE\\B\\Key", "Number", 0xFFFFFFFF);
    w.CreateKey("SOFTWARE\\A\\Empty");
    w.SetString("SOFTWARE\\B\\Key", "TEXT", "replaced in place");
    w.Save();
  }
  const auto key = RegistryKey::OpenLocalMachine(file, "Software\\B\\Key");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ValueNames(), (std::vector<std::string>{"Text", "", "Number"}));
  EXPECT_EQ(key->ReadString("text"), "replaced in place");
  EXPECT_EQ(key->ReadDword("Number"), 0xFFFFFFFFu);
  EXPECT_EQ(RegistryKey::OpenLocalMachine(file, "SOFTWARE")->SubKeyNames(), (std::vector<std::string>{"B", "A"}));
  EXPECT_TRUE(RegistryKey::OpenLocalMachine(file, "SOFTWARE\\A\\Empty"));

  RegistryWriter again(file);
  again.SetString("SOFTWARE\\B\\Key", "Text", "line\r\n\"quoted\" \\ back\x01");
  EXPECT_TRUE(again.DeleteValue("software\\b\\key", "NUMBER"));
  EXPECT_TRUE(again.DeleteKey("SOFTWARE\\A"));
  EXPECT_FALSE(again.DeleteKey("SOFTWARE\\A"));
  again.Save();
  const auto after = RegistryKey::OpenLocalMachine(file, "SOFTWARE\\B\\Key");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->ReadString("Text"), "line\r\n\"quoted\" \\ back\x01");
  EXPECT_FALSE(after->HasValue("Number"));
  EXPECT_FALSE(RegistryKey::OpenLocalMachine(file, "SOFTWARE\\A"));
}

TEST(RegistryWriter, ValuesItDoesNotWriteItselfSurviveASave) {
  test::TempDir dir;
  const std::string file = dir / "registry.reg";
  WriteStringToFile("[K]\n\"E\"=str(2):\"%TEMP%\"\n\"B\"=hex:01,02\n", file);
  RegistryWriter w(file);
  w.SetString("K", "S", "s");
  w.Save();
  const auto key = RegistryKey::OpenLocalMachine(file, "K");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ReadString("E"), "%TEMP%");
  EXPECT_NE(ReadFileToString(file).find("\"B\"=hex:01,02\n"), std::string::npos);
  EXPECT_EQ(key->ValueNames(), (std::vector<std::string>{"E", "B", "S"}));
}

TEST(RegistryWriter, UnreadableFileIsAnError) {
  test::TempDir dir;
  EXPECT_THROW(RegistryWriter w(dir.path()), EFOpenError);  // a folder, not a file
}

}  // namespace
}  // namespace zuntar
