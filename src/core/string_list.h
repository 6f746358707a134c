// A list of strings, each with a number beside it: the runtime's string
// list as the certificate manager fills it (certificate bodies, serial
// numbers, and a signing time as an entry's object).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zuntar {

class TStringList {
 public:
  void Clear() { items_.clear(); }
  // The index of the new entry.
  size_t Add(std::string text) { return AddObject(std::move(text), 0); }
  size_t AddObject(std::string text, int64_t object) {
    items_.push_back({std::move(text), object});
    return items_.size() - 1;
  }
  size_t Count() const { return items_.size(); }
  const std::string& Strings(size_t i) const { return items_.at(i).text; }
  int64_t Objects(size_t i) const { return items_.at(i).object; }
  // The strings alone, in order.
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const Item& item : items_) out.push_back(item.text);
    return out;
  }
  // The strings alone, moved out; the list is left empty.
  std::vector<std::string> TakeTexts() {
    std::vector<std::string> out;
    out.reserve(items_.size());
    for (Item& item : items_) out.push_back(std::move(item.text));
    items_.clear();
    return out;
  }

 private:
  struct Item {
    std::string text;
    int64_t object;
  };
  std::vector<Item> items_;
};

}  // namespace zuntar
