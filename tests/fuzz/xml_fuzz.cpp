// Loads arbitrary bytes as an XML document, looks up the paths the fund's
// responses are read by and a few odd ones, and checks that the tree hangs
// together and the error text has its form.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "xml/xml_parser.h"

namespace zuntar {
namespace {

constexpr std::string_view kPaths[] = {
    "soap:Body/xenc:EncryptedData/ds:KeyInfo/xenc:EncryptedKey/xenc:CipherData/xenc:CipherValue",
    "soap:Body/xenc:EncryptedData/xenc:CipherData/xenc:CipherValue",
    "ds:KeyInfo/xenc:EncryptedKey/xenc:CipherData/xenc:CipherValue",
    "xenc:CipherData/xenc:CipherValue",
    "a",
    "a/",
    "a//b",
    "/a",
    "",
    ":",
};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void CheckTree(const TkelXMLParser2& doc) {
  std::vector<std::pair<const TkelXMLNode2*, size_t>> stack{{&doc, 0}};
  while (!stack.empty()) {
    auto& [node, next] = stack.back();
    if (next == node->Children().Count()) {
      stack.pop_back();
      continue;
    }
    const TkelXMLNode2& child = node->Children()[next++];
    Check(child.Parent() == node && child.Document() == &doc);
    Check(child.Prefix().size() < child.Name().size() || child.Prefix().empty());
    stack.emplace_back(&child, 0);
  }
}

}  // namespace
}  // namespace zuntar

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zuntar;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TkelXMLParser2 doc;
  doc.LoadXML(text);
  const std::string& error = doc.LastError();
  Check(error.empty() || error.find(" near ") != std::string::npos);
  Check(error.empty() || error.find("\r\nError position=") != std::string::npos);
  CheckTree(doc);
  for (std::string_view path : kPaths)
    if (const TkelXMLNode2* node = doc.SelectNode(path)) Check(node->Document() == &doc);
  doc.FindChild("x:CipherValue", true, true);
  // The same document again replaces what the first load built.
  doc.LoadXML(text);
  Check(doc.LastError() == error);
  return 0;
}
