#include "xml/xml_source.h"

#include <cstring>

#include "core/utf.h"

namespace zuntar {
namespace {

constexpr std::string_view kStyleSheet = "<?xml-stylesheet";
constexpr size_t kEncodingWindow = 100;

void RemoveStyleSheet(std::string& text) {
  const size_t start = text.find(kStyleSheet);
  if (start == std::string::npos) return;
  const size_t end = text.find("?>", start + kStyleSheet.size());
  if (end != std::string::npos) text.erase(start, end + 2 - start);
}

void BlankControls(std::string& text) {
  for (char& c : text)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
}

}  // namespace

bool IsUtf8XmlText(std::string_view text) {
  std::string head(text.substr(0, kEncodingWindow));
  for (char& c : head)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return head.find("\"utf-8\"") != std::string::npos || head.find("'utf-8'") != std::string::npos ||
         head.find("encoding") == std::string::npos;
}

void RemoveXmlComments(std::string& text) {
  size_t read = text.find(kXmlCommentOpen);
  if (read == std::string::npos) return;
  // Kept text moves down over the removed comments in one pass. Once a
  // comment has no terminator no later one has either, so the search ends
  // there rather than scanning the rest again for each "<!--".
  size_t write = read;
  for (;;) {
    const size_t close = text.find(kXmlCommentClose, read + kXmlCommentOpen.size());
    if (close == std::string::npos) break;
    read = close + kXmlCommentClose.size();
    const size_t next = text.find(kXmlCommentOpen, read);
    const size_t kept = (next == std::string::npos ? text.size() : next) - read;
    std::memmove(text.data() + write, text.data() + read, kept);
    write += kept;
    read += kept;
    if (next == std::string::npos) break;
  }
  const size_t rest = text.size() - read;
  std::memmove(text.data() + write, text.data() + read, rest);
  text.resize(write + rest);
}

std::string PrepareXmlSource(std::string_view text) {
  std::string source;
  if (IsUtf8XmlText(text)) {
    // Whatever precedes the first tag, a byte-order mark for one, is dropped.
    const size_t first_tag = text.find('<');
    if (first_tag != std::string_view::npos) text.remove_prefix(first_tag);
    source = AnsiFromUtf8(text);
  } else {
    source.assign(text);
  }
  RemoveXmlComments(source);
  RemoveStyleSheet(source);
  BlankControls(source);
  return source;
}

}  // namespace zuntar
