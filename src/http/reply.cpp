#include "http/reply.h"

#include <algorithm>

#include "core/base64.h"
#include "core/utf.h"

namespace zuntar {
namespace {

std::string StatusLines(bool status) {
  std::string out = "{\r\n\"Status\": ";
  out += status ? "true" : "false";
  out += ",\r\n";
  return out;
}

void AppendErrors(std::string& out, const std::vector<std::string>& errors) {
  out += "\"Errors\": [";
  bool first = true;
  for (const std::string& e : errors) {
    if (e.empty()) continue;
    if (!first) out += ',';
    first = false;
    out += '"';
    out += Utf8FromAnsi(JsonEscape(e));
    out += '"';
  }
  out += "]\r\n}";
}

// MakeReply(true, data, {}) in pieces of about 64 KiB of Base64, the data
// given in parts.
class EncodedDataReply : public ReplyBodySource {
 public:
  EncodedDataReply(std::vector<std::string_view> parts, std::function<void()> last)
      : parts_(std::move(parts)), last_(std::move(last)), head_(StatusLines(true) + "\"Data\": ") {
    for (const std::string_view part : parts_) size_ += part.size();
    head_ += size_ == 0 ? "null" : "\"";
    tail_ = size_ == 0 ? ",\r\n" : "\",\r\n";
    AppendErrors(tail_, {});
  }

  std::optional<uint64_t> Length() const override { return head_.size() + Base64EncodedSize(size_) + tail_.size(); }

  bool Next(std::string& piece) override {
    piece.clear();
    if (!head_sent_) {
      head_sent_ = true;
      piece = head_;
      return true;
    }
    if (encoded_ < size_) {
      const size_t n = std::min(kChunk, size_ - encoded_);
      Base64EncodeAppend(piece, Take(n));
      encoded_ += n;
      return true;
    }
    if (tail_sent_) return false;
    if (last_) last_();
    tail_sent_ = true;
    piece = tail_;
    return true;
  }

 private:
  static constexpr size_t kChunk = 48 * 1024;  // whole groups of three: no padding inside

  // The next `n` bytes of the parts: in their place when one part holds
  // them, else gathered.
  std::string_view Take(size_t n) {
    gathered_.clear();
    for (;;) {
      while (offset_ == parts_[part_].size()) {
        ++part_;
        offset_ = 0;
      }
      const std::string_view rest = parts_[part_].substr(offset_);
      const size_t k = std::min(n - gathered_.size(), rest.size());
      offset_ += k;
      if (gathered_.empty() && k == n) return rest.substr(0, k);
      gathered_.append(rest.substr(0, k));
      if (gathered_.size() == n) return gathered_;
    }
  }

  const std::vector<std::string_view> parts_;
  const std::function<void()> last_;
  std::string head_, tail_;
  uint64_t size_ = 0;
  uint64_t encoded_ = 0;
  size_t part_ = 0, offset_ = 0;
  std::string gathered_;
  bool head_sent_ = false;
  bool tail_sent_ = false;
};

}  // namespace

std::unique_ptr<ReplyBodySource> StreamedReply(std::string data) {
  auto owned = std::make_shared<const std::string>(std::move(data));
  return StreamedReply({*owned}, [owned] {});
}

std::unique_ptr<ReplyBodySource> StreamedReply(std::vector<std::string_view> parts, std::function<void()> last) {
  return std::make_unique<EncodedDataReply>(std::move(parts), std::move(last));
}

std::string JsonEscape(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20) {
      if (c == '\\' || c == '"') out += '\\';
      out += c;
      continue;
    }
    out += '\\';
    switch (c) {
      case '\b': out += 'b'; break;
      case '\t': out += 't'; break;
      case '\n': out += 'n'; break;
      case '\f': out += 'f'; break;
      case '\r': out += 'r'; break;
      default:
        out += "u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
  }
  return out;
}

std::string MakeReply(bool status, std::string_view data, const std::vector<std::string>& errors, bool as_is) {
  std::string out = StatusLines(status);
  out.reserve(out.size() + Base64EncodedSize(data.size()) + 64);
  out += "\"Data\": ";
  if (data.empty()) {
    out += "null";
  } else {
    out += '"';
    if (as_is) {
      out += data;
    } else {
      Base64EncodeAppend(out, data);
    }
    out += '"';
  }
  out += ",\r\n";
  AppendErrors(out, errors);
  return out;
}

std::string MakeListReply(bool status, const std::vector<std::string>* entries,
                          const std::vector<std::string>& errors) {
  if (entries == nullptr || entries->empty()) {
    std::string out = StatusLines(status);
    out += "\"Data\": null,\r\n";
    AppendErrors(out, errors);
    return out;
  }
  std::string out = ListReplyHead(status);
  for (size_t i = 0; i < entries->size(); ++i) {
    if (i > 0) out += ',';
    out += (*entries)[i];
  }
  out += ListReplyTail(errors);
  return out;
}

std::string ListReplyHead(bool status) { return StatusLines(status) + "\"Data\": [\r\n"; }

std::string ListReplyTail(const std::vector<std::string>& errors) {
  std::string out = "],\r\n";
  AppendErrors(out, errors);
  return out;
}

}  // namespace zuntar
