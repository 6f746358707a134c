// The element tree of an XML document: elements with their attributes and
// the text before their first child, found by name or by a slash-separated
// path of names.
//
// Every node belongs to its document (TkelXMLParser2). A tree may be
// hundreds of thousands of levels deep, so nothing here recurses over it:
// the search keeps its own stack, and a dying node takes its subtree apart
// level by level instead of letting each child's destructor free the next.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zuntar {

class TkelXMLNode2;
class TkelXMLParser2;

// An ordered list that owns its items; clearing it frees them.
template <class T>
class TkelXMLNodeList2 {
 public:
  class Iterator {
   public:
    explicit Iterator(typename std::vector<std::unique_ptr<T>>::const_iterator it) : it_(it) {}
    T& operator*() const { return **it_; }
    T* operator->() const { return it_->get(); }
    Iterator& operator++() {
      ++it_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return it_ == other.it_; }

   private:
    typename std::vector<std::unique_ptr<T>>::const_iterator it_;
  };

  size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  T& operator[](size_t index) const { return *items_[index]; }
  Iterator begin() const { return Iterator(items_.begin()); }
  Iterator end() const { return Iterator(items_.end()); }

  T& Add(std::unique_ptr<T> item) {
    items_.push_back(std::move(item));
    return *items_.back();
  }
  void Clear() { items_.clear(); }

 private:
  friend class TkelXMLNode2;
  std::vector<std::unique_ptr<T>> items_;
};

class TkelXMLAttribute2 {
 public:
  TkelXMLAttribute2(std::string name, std::string value) : name_(std::move(name)), value_(std::move(value)) {}

  const std::string& Name() const { return name_; }
  // The raw text between the quotes: entities are not resolved.
  const std::string& Value() const { return value_; }
  void SetValue(std::string value) { value_ = std::move(value); }

 private:
  std::string name_;
  std::string value_;
};

class TkelXMLNode2 {
 public:
  TkelXMLNode2(TkelXMLParser2* document, TkelXMLNode2* parent) : document_(document), parent_(parent) {}
  virtual ~TkelXMLNode2();
  TkelXMLNode2(const TkelXMLNode2&) = delete;
  TkelXMLNode2& operator=(const TkelXMLNode2&) = delete;

  // The qualified name as written in the start tag ("soapenv:Envelope").
  const std::string& Name() const { return name_; }
  // The part of the name before its first colon; empty without a colon.
  const std::string& Prefix() const { return prefix_; }
  // The text before the first child (or a CDATA section there), trimmed.
  const std::string& Text() const { return text_; }
  TkelXMLParser2* Document() const { return document_; }
  TkelXMLNode2* Parent() const { return parent_; }
  const TkelXMLNodeList2<TkelXMLNode2>& Children() const { return children_; }
  TkelXMLNodeList2<TkelXMLNode2>& Children() { return children_; }
  const TkelXMLNodeList2<TkelXMLAttribute2>& Attributes() const { return attributes_; }
  TkelXMLNodeList2<TkelXMLAttribute2>& Attributes() { return attributes_; }

  // Sets the name and the prefix that goes with it.
  void SetName(std::string name);
  void SetText(std::string text) { text_ = std::move(text); }
  // Hands the text to the caller and leaves the element without any, so a
  // large value (a response's payload) need not be copied out.
  std::string TakeText() { return std::exchange(text_, {}); }
  // Replaces the value of the attribute of exactly that name, or appends one.
  void SetAttribute(std::string_view name, std::string_view value);
  // Appends an attribute whose name the caller knows to be new.
  TkelXMLAttribute2& AddAttribute(std::string name, std::string value);
  // A new last child.
  TkelXMLNode2& AddChild();

  // Steps from this node through "a/b/c", each step the first child whose
  // name, or else whose local name (after the first colon), matches. A
  // leading slash finds nothing; an empty segment further on ends the walk
  // at the node reached so far.
  TkelXMLNode2* SelectNode(std::string_view path) const;

  // The first child whose name equals `name`, or with `match_local_name` whose
  // local name equals that of `name`; with `recursive`, a child's subtree is
  // searched (depth first) before its next sibling is tried.
  TkelXMLNode2* FindChild(std::string_view name, bool match_local_name, bool recursive) const;

 protected:
  // Back to a nameless, textless element without children or attributes.
  void Reset();

 private:
  friend class TkelXMLParser2;

  std::string name_;
  std::string prefix_;
  std::string text_;
  TkelXMLParser2* document_;
  TkelXMLNode2* parent_;
  TkelXMLNodeList2<TkelXMLNode2> children_;
  TkelXMLNodeList2<TkelXMLAttribute2> attributes_;
};

}  // namespace zuntar
