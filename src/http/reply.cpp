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

// MakeReply(true, data, {}) in pieces of about 64 KiB of Base64.
class EncodedDataReply : public ReplyBodySource {
 public:
  explicit EncodedDataReply(std::string data)
      : data_(std::move(data)), head_(StatusLines(true) + "\"Data\": "), tail_(",\r\n") {
    if (data_.empty()) {
      head_ += "null";
    } else {
      head_ += '"';
      tail_.insert(0, "\"");
    }
    AppendErrors(tail_, {});
  }

  std::optional<uint64_t> Length() const override {
    return head_.size() + Base64EncodedSize(data_.size()) + tail_.size();
  }

  bool Next(std::string& piece) override {
    piece.clear();
    if (!head_sent_) {
      head_sent_ = true;
      piece = head_;
      return true;
    }
    if (encoded_ < data_.size()) {
      const size_t n = std::min(kChunk, data_.size() - encoded_);
      Base64EncodeAppend(piece, std::string_view(data_).substr(encoded_, n));
      encoded_ += n;
      return true;
    }
    if (tail_sent_) return false;
    tail_sent_ = true;
    piece = tail_;
    return true;
  }

 private:
  static constexpr size_t kChunk = 48 * 1024;  // whole groups of three: no padding inside

  const std::string data_;
  std::string head_, tail_;
  size_t encoded_ = 0;
  bool head_sent_ = false;
  bool tail_sent_ = false;
};

}  // namespace

std::unique_ptr<ReplyBodySource> StreamedReply(std::string data) {
  return std::make_unique<EncodedDataReply>(std::move(data));
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
