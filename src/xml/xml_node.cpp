#include "xml/xml_node.h"

#include <utility>

namespace zuntar {
namespace {

std::string_view LocalName(std::string_view name) {
  const size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

}  // namespace

TkelXMLNode2::~TkelXMLNode2() {
  // Each node leaves this loop childless, so its own destructor has nothing
  // to walk and the depth of the tree never reaches the call stack.
  std::vector<std::unique_ptr<TkelXMLNode2>> doomed = std::move(children_.items_);
  while (!doomed.empty()) {
    std::unique_ptr<TkelXMLNode2> node = std::move(doomed.back());
    doomed.pop_back();
    for (std::unique_ptr<TkelXMLNode2>& child : node->children_.items_) doomed.push_back(std::move(child));
    node->children_.items_.clear();
  }
}

void TkelXMLNode2::SetName(std::string name) {
  const size_t colon = name.find(':');
  prefix_ = colon == std::string::npos ? std::string() : name.substr(0, colon);
  name_ = std::move(name);
}

void TkelXMLNode2::SetAttribute(std::string_view name, std::string_view value) {
  for (TkelXMLAttribute2& a : attributes_) {
    if (a.Name() == name) {
      a.SetValue(std::string(value));
      return;
    }
  }
  AddAttribute(std::string(name), std::string(value));
}

TkelXMLAttribute2& TkelXMLNode2::AddAttribute(std::string name, std::string value) {
  return attributes_.Add(std::make_unique<TkelXMLAttribute2>(std::move(name), std::move(value)));
}

TkelXMLNode2& TkelXMLNode2::AddChild() { return children_.Add(std::make_unique<TkelXMLNode2>(document_, this)); }

void TkelXMLNode2::Reset() {
  children_.Clear();
  attributes_.Clear();
  name_.clear();
  prefix_.clear();
  text_.clear();
}

TkelXMLNode2* TkelXMLNode2::SelectNode(std::string_view path) const {
  if (path.find('/') == std::string_view::npos) return FindChild(path, true, false);
  TkelXMLNode2* reached = nullptr;  // stays none for a leading slash
  const TkelXMLNode2* from = this;
  for (size_t start = 0;;) {
    const size_t slash = path.find('/', start);
    const std::string_view segment = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (segment.empty()) return reached;
    reached = from->FindChild(segment, true, false);
    if (reached == nullptr || slash == std::string_view::npos) return reached;
    from = reached;
    start = slash + 1;
  }
}

TkelXMLNode2* TkelXMLNode2::FindChild(std::string_view name, bool match_local_name, bool recursive) const {
  const std::string_view local = LocalName(name);
  auto matches = [&](const TkelXMLNode2& node) {
    return node.name_ == name || (match_local_name && LocalName(node.name_) == local);
  };
  // Each entry is a node whose children are being tried and the next of them.
  std::vector<std::pair<const TkelXMLNode2*, size_t>> stack{{this, 0}};
  while (!stack.empty()) {
    auto& [node, next] = stack.back();
    if (next == node->children_.Count()) {
      stack.pop_back();
      continue;
    }
    TkelXMLNode2& child = node->children_[next++];
    if (matches(child)) return &child;
    if (recursive && !child.children_.Empty()) stack.emplace_back(&child, 0);
  }
  return nullptr;
}

}  // namespace zuntar
