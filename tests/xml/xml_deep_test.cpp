// Documents as deep as a load allows, handled on a thread whose stack is
// as small as an HTTP worker's: loading, searching and freeing them must not
// recurse over the tree.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>

#include "xml/xml_parser.h"

namespace zuntar {
namespace {

constexpr size_t kSmallStack = 1 << 20;

void RunOnSmallStack(const std::function<void()>& work) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&work)), 0);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

std::string Repeat(std::string_view part, size_t times) {
  std::string out;
  out.reserve(part.size() * times);
  for (size_t i = 0; i < times; ++i) out += part;
  return out;
}

size_t Depth(const TkelXMLNode2* node) {
  size_t depth = 0;
  for (; node != nullptr; node = node->Parent()) ++depth;
  return depth;
}

TEST(XmlDeep, AsManyNestedElementsAsALoadReadsFitASmallStack) {
  RunOnSmallStack([] {
    // Half the steps open elements, half close them: the whole document is read.
    constexpr size_t kLevels = TkelXMLParser2::kMaxSteps / 2;
    const std::string nested = Repeat("<e>", kLevels - 1) + "<leaf/>" + Repeat("</e>", kLevels - 1);
    {
      TkelXMLParser2 doc;
      doc.LoadXML(nested);
      EXPECT_EQ(doc.LastError(), "");
      const TkelXMLNode2* leaf = doc.FindChild("leaf", false, true);
      ASSERT_NE(leaf, nullptr);
      EXPECT_EQ(Depth(leaf), kLevels);
      EXPECT_EQ(doc.FindChild("x:missing", true, true), nullptr);
      EXPECT_EQ(doc.SelectNode("e/e/e/e")->Children().Count(), 1u);
      // A new load frees the deep tree it replaces.
      doc.LoadXML(nested);
      EXPECT_EQ(doc.LastError(), "");
    }  // and so does the document's end
  });
}

TEST(XmlDeep, LoadingStopsQuietlyAfterTheLastStep) {
  RunOnSmallStack([] {
    constexpr size_t kSteps = TkelXMLParser2::kMaxSteps;
    TkelXMLParser2 doc;
    doc.LoadXML(Repeat("<e>", kSteps + 5));
    EXPECT_EQ(doc.LastError(), "");  // unlike a short document that never closes
    const TkelXMLNode2* node = &doc;
    size_t depth = 1;
    while (!node->Children().Empty()) {
      node = &node->Children()[0];
      ++depth;
    }
    EXPECT_EQ(depth, kSteps);
    EXPECT_EQ(doc.FindChild("leaf", false, true), nullptr);

    // A detached subtree is freed without recursion too.
    TkelXMLNode2& first = doc.Children()[0];
    EXPECT_EQ(first.Children().Count(), 1u);
    doc.Children().Clear();
    EXPECT_TRUE(doc.Children().Empty());
  });
  TkelXMLParser2 doc;
  doc.LoadXML(Repeat("<e>", 5));
  EXPECT_EQ(doc.LastError().rfind("Expected < when parsing text", 0), 0u);
}

}  // namespace
}  // namespace zuntar
