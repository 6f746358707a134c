#include "xml/xml_parser.h"

#include <algorithm>
#include <new>
#include <unordered_map>
#include <utility>

#include "core/text.h"
#include "xml/xml_source.h"

namespace zuntar {
namespace {

constexpr std::string_view kDeclarationOpen = "<?xml";
constexpr std::string_view kCDataOpen = "<![CDATA[";
constexpr std::string_view kCDataClose = "]]>";
constexpr size_t kContextBefore = 20;
constexpr size_t kContextLength = 50;

bool StartsAt(std::string_view text, size_t pos, std::string_view what) {
  return text.substr(pos, what.size()) == what;
}

}  // namespace

// Sets the attributes of one element. A few are found by walking the list;
// an element with many gets a hash index, so that a million attributes cost
// no more each than three.
class XmlAttributeWriter {
 public:
  explicit XmlAttributeWriter(TkelXMLNode2& node) : node_(node) {}

  void Set(std::string_view name, std::string_view value) {
    if (index_.empty() && node_.Attributes().Count() < kWalkLimit) {
      node_.SetAttribute(name, value);
      return;
    }
    if (index_.empty())
      for (TkelXMLAttribute2& a : node_.Attributes()) index_.emplace(a.Name(), &a);
    if (auto found = index_.find(name); found != index_.end()) {
      found->second->SetValue(std::string(value));
      return;
    }
    TkelXMLAttribute2& added = node_.AddAttribute(std::string(name), std::string(value));
    index_.emplace(added.Name(), &added);
  }

 private:
  static constexpr size_t kWalkLimit = 16;
  TkelXMLNode2& node_;
  std::unordered_map<std::string_view, TkelXMLAttribute2*> index_;
};

TkelXMLParser2::TkelXMLParser2() : TkelXMLNode2(this, nullptr), declaration_(this, nullptr) {}

void TkelXMLParser2::LoadXML(std::string_view text) noexcept {
  try {
    std::string().swap(source_);  // the old text goes before the new one is made
    Reset();
    declaration_.Reset();
    last_error_.clear();
    pos_ = 0;
    large_text_ = {};
    source_ = PrepareXmlSource(text);
    Parse();
    GiveSourceToLargeText();
  } catch (const std::bad_alloc&) {
    last_error_ = "Out of memory";
  }
}

void TkelXMLParser2::Parse() {
  if (!ReadDeclaration()) return;
  XmlAttributeWriter own(*this);
  TkelXMLNode2* parent = nullptr;
  for (int step = 0; step < kMaxSteps; ++step)
    if (ReadTag(parent, own) != Step::kNext) return;
}

bool TkelXMLParser2::ReadDeclaration() {
  const std::string_view source = source_;
  const size_t open = source.find('<');
  if (open == std::string_view::npos || !StartsAt(source, open, kDeclarationOpen)) return true;
  pos_ = open;
  const size_t close = source.find("?>", open + kDeclarationOpen.size());
  if (close == std::string_view::npos) {
    Fail("Missing ?> in xml declaration.");
    return false;
  }
  // The attributes start one character after "<?xml", past its blank.
  const size_t from = std::min(open + kDeclarationOpen.size() + 1, close);
  XmlAttributeWriter writer(declaration_);
  if (!ReadAttributes(writer, TrimmedView(source.substr(from, close - from)))) return false;
  pos_ = close + 2;
  return true;
}

TkelXMLParser2::Step TkelXMLParser2::ReadTag(TkelXMLNode2*& parent, XmlAttributeWriter& own) {
  const std::string_view source = source_;
  size_t open = source.find('<', pos_);
  if (open == std::string_view::npos) {
    Fail("Missing <");
    return Step::kFailed;
  }
  pos_ = open;
  // Preprocessing took out every closed comment, so this one has no end
  // unless removing others made it.
  if (StartsAt(source, open, kXmlCommentOpen)) {
    const size_t end = source.find(kXmlCommentClose, open + kXmlCommentOpen.size());
    if (end == std::string_view::npos) {
      Fail("Missing comment terminator -->");
      return Step::kFailed;
    }
    pos_ = end + kXmlCommentClose.size();
    open = source.find('<', pos_);
    if (open == std::string_view::npos) {
      Fail("Missing <");
      return Step::kFailed;
    }
    pos_ = open;
  }
  const size_t close = FindTagEnd(open + 1);
  if (close == std::string_view::npos) {
    Fail("Missing >");
    return Step::kFailed;
  }
  const std::string_view tag = source.substr(open + 1, close - open - 1);
  pos_ = close + 1;
  if (!tag.empty() && tag.front() == '/') {
    // Whatever the end tag names, it closes the element open now.
    if (parent == nullptr || parent->Parent() == nullptr) return Step::kEnd;
    parent = parent->Parent();
    return Step::kNext;
  }
  return ReadStartTag(tag, parent, own);
}

TkelXMLParser2::Step TkelXMLParser2::ReadStartTag(std::string_view tag, TkelXMLNode2*& parent,
                                                  XmlAttributeWriter& own) {
  const bool empty = !tag.empty() && tag.back() == '/';
  if (empty) tag = TrimmedView(tag.substr(0, tag.size() - 1));
  const size_t blank = tag.find(' ');
  const std::string_view attributes =
      blank == std::string_view::npos ? std::string_view() : TrimmedView(tag.substr(blank + 1));
  // The first start tag, and any that follows an empty root, fills the
  // document itself.
  TkelXMLNode2& node = parent == nullptr ? *this : parent->AddChild();
  node.SetName(std::string(tag.substr(0, blank)));
  XmlAttributeWriter child(node);
  if (!ReadAttributes(&node == this ? own : child, attributes)) return Step::kFailed;
  if (!empty) {
    if (!ReadText(node)) return Step::kFailed;
    parent = &node;
  }
  return Step::kNext;
}

bool TkelXMLParser2::ReadAttributes(XmlAttributeWriter& writer, std::string_view text) {
  while (!text.empty()) {
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
      Fail("missing = when parsing attributes");
      return false;
    }
    size_t open = equals + 1;
    while (open < text.size() && text[open] == ' ') ++open;
    if (open == text.size() || (text[open] != '"' && text[open] != '\'')) {
      Fail("missing value delimiter when parsing attributes");
      return false;
    }
    const char quote = text[open];
    const size_t close = text.find(quote, open + 1);
    if (close == std::string_view::npos) {
      Fail(std::string("Expected closing ") + quote + " when parsing attributes");
      return false;
    }
    writer.Set(TrimmedView(text.substr(0, equals)), text.substr(open + 1, close - open - 1));
    text.remove_prefix(close + 1);
  }
  return true;
}

bool TkelXMLParser2::ReadText(TkelXMLNode2& node) {
  const std::string_view source = source_;
  const size_t open = source.find('<', pos_);
  if (open == std::string_view::npos) {
    Fail("Expected < when parsing text");
    return false;
  }
  if (!StartsAt(source, open, kCDataOpen)) {
    // Text between or after children is never kept: the next tag skips it.
    SetNodeText(node, TrimmedView(source.substr(pos_, open - pos_)));
    pos_ = open;
    return true;
  }
  pos_ = open;
  const size_t content = open + kCDataOpen.size();
  const size_t close = source.find(kCDataClose, content);
  if (close == std::string_view::npos) {
    Fail("Expected ]]> when parsing CDATA section");
    return false;
  }
  SetNodeText(node, TrimmedView(source.substr(content, close - content)));
  pos_ = close + kCDataClose.size();
  return true;
}

void TkelXMLParser2::SetNodeText(TkelXMLNode2& node, std::string_view text) {
  if (large_text_.node == &node) large_text_ = {};  // the element was filled again
  if (text.size() > source_.size() / 2) {
    node.SetText({});
    large_text_ = {&node, static_cast<size_t>(text.data() - source_.data()), text.size()};
    return;
  }
  node.SetText(std::string(text));
}

void TkelXMLParser2::GiveSourceToLargeText() {
  if (large_text_.node == nullptr) return;
  std::string text = std::exchange(source_, {});
  text.resize(large_text_.offset + large_text_.length);
  text.erase(0, large_text_.offset);
  large_text_.node->SetText(std::move(text));
  large_text_ = {};
}

size_t TkelXMLParser2::FindTagEnd(size_t from) const {
  char quote = 0;
  for (size_t i = from; i < source_.size(); ++i) {
    const char c = source_[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return i;
    }
  }
  return std::string::npos;
}

void TkelXMLParser2::Fail(std::string_view problem) {
  const size_t from = std::min(pos_ >= kContextBefore ? pos_ - kContextBefore : 0, source_.size());
  last_error_.assign(problem)
      .append(" near ")
      .append(source_, from, kContextLength)
      .append("\r\nError position=")
      .append(std::to_string(pos_ + 1));
}

}  // namespace zuntar
