// An XML document read by the program's own tolerant parser.
//
// Not a conforming XML processor: it builds the tree of elements with their
// attributes and leading text, does not compare end tags with the elements
// they close, resolves no entities and ignores namespaces (lookups fall back
// on local names instead). That is all the fund's responses need, and it
// accepts what those services actually send.
//
// The document is itself the root element. Loading never throws: a problem
// ends the load, leaves the tree as far as it was read and describes itself
// in LastError(). A load handles at most 512000 tags and then stops quietly;
// nothing recurses over the document, so that many nested elements fit any
// thread's stack.
#pragma once

#include <string>
#include <string_view>

#include "xml/xml_node.h"

namespace zuntar {

class XmlAttributeWriter;

class TkelXMLParser2 : public TkelXMLNode2 {
 public:
  static constexpr int kMaxSteps = 512000;

  TkelXMLParser2();

  // Replaces the whole content with the tree read from `text`.
  void LoadXML(std::string_view text) noexcept;

  // Empty after a clean load; otherwise the problem, " near " and the source
  // around it, a line break and "Error position=" with the 1-based position
  // in the preprocessed source.
  const std::string& LastError() const { return last_error_; }

  // The attributes of the <?xml ...?> declaration.
  const TkelXMLNode2& Declaration() const { return declaration_; }

  // The text the tree was read from: ANSI, without comments, one line.
  // Empty after a load in which one element's text was most of it (a
  // response's payload): that text took over its buffer, so a large
  // document is held once beside its text rather than twice.
  const std::string& Source() const { return source_; }

 private:
  enum class Step { kNext, kEnd, kFailed };

  void Parse();
  bool ReadDeclaration();
  // `own` sets the document's own attributes for the whole load: every empty
  // start tag at the top fills the document again and adds to them.
  Step ReadTag(TkelXMLNode2*& parent, XmlAttributeWriter& own);
  Step ReadStartTag(std::string_view tag, TkelXMLNode2*& parent, XmlAttributeWriter& own);
  bool ReadAttributes(XmlAttributeWriter& writer, std::string_view text);
  bool ReadText(TkelXMLNode2& node);
  size_t FindTagEnd(size_t from) const;
  // Sets an element's text (a view into the source); the text that is more
  // than half the source only once the load has ended, in the source's own
  // buffer (GiveSourceToLargeText).
  void SetNodeText(TkelXMLNode2& node, std::string_view text);
  void GiveSourceToLargeText();
  void Fail(std::string_view problem);

  std::string source_;
  size_t pos_ = 0;  // 0-based; reported 1-based
  struct LargeText {
    TkelXMLNode2* node = nullptr;
    size_t offset = 0;
    size_t length = 0;
  };
  LargeText large_text_;
  TkelXMLNode2 declaration_;
  std::string last_error_;
};

}  // namespace zuntar
