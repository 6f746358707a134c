#include "platform/capi/asn1/ber_stream.h"

#include <algorithm>

#include "platform/capi/base/error_codes.h"

namespace zuntar::ber {

namespace {

// Parses a complete header from the bytes gathered so far. Answers 0 with
// *complete false while more bytes are needed.
DWORD ParseHeader(const Bytes& h, Header* header, bool* complete) {
  *complete = false;
  if (h.size() < 2) return 0;
  header->tag = static_cast<BYTE>(h[0]);
  if ((header->tag & 0x1F) == 0x1F) return CRYPT_E_ASN1_BADTAG;
  const BYTE first = static_cast<BYTE>(h[1]);
  header->indefinite = false;
  if (first < 0x80) {
    header->length = first;
  } else if (first == 0x80) {
    header->indefinite = true;
    header->length = 0;
  } else {
    const size_t n = first & 0x7F;
    if (n > 8) return CRYPT_E_ASN1_CORRUPT;
    if (h.size() < 2 + n) return 0;
    uint64_t len = 0;
    for (size_t i = 0; i < n; ++i) len = (len << 8) | static_cast<BYTE>(h[2 + i]);
    if (len > (uint64_t{1} << 56)) return CRYPT_E_ASN1_CORRUPT;
    header->length = len;
  }
  *complete = true;
  return 0;
}

}  // namespace

DWORD StreamParser::Feed(const BYTE* data, size_t size) {
  while (size > 0) {
    if (done_) return CRYPT_E_MSG_ERROR;
    const bool in_primitive = !stack_.empty() && !stack_.back().header.constructed() && header_.empty();
    if (in_primitive) {
      Frame& top = stack_.back();
      const size_t n = static_cast<size_t>(std::min<uint64_t>(size, top.end - offset_));
      DWORD rc = 0;
      if (collecting())
        rc = Collect(data, n);
      else if (top.walked)
        rc = handler_->OnContent(top.header, data, n);
      if (rc != 0) return rc;
      data += n;
      size -= n;
      offset_ += n;
      if (DWORD rc2 = CloseFinished()) return rc2;
      continue;
    }
    if (DWORD rc = ReadHeader(&data, &size)) return rc;
  }
  return 0;
}

DWORD StreamParser::ReadHeader(const BYTE** data, size_t* size) {
  Header header;
  bool complete = false;
  while (!complete && *size > 0) {
    header_.push_back(static_cast<char>(**data));
    ++*data;
    --*size;
    ++offset_;
    if (header_.size() > 10) return CRYPT_E_ASN1_CORRUPT;
    if (DWORD rc = ParseHeader(header_, &header, &complete)) return rc;
  }
  if (!complete) return 0;
  const uint64_t header_size = header_.size();
  Bytes raw = std::move(header_);
  header_.clear();
  if (offset_ > EnclosingEnd()) return CRYPT_E_ASN1_CORRUPT;
  if (header.tag == 0) {
    // End of contents: closes the innermost indefinite element.
    if (header.length != 0 || header.indefinite || stack_.empty() || !stack_.back().header.indefinite)
      return CRYPT_E_ASN1_CORRUPT;
    if (collecting())
      if (DWORD rc = Collect(reinterpret_cast<const BYTE*>(raw.data()), raw.size())) return rc;
    if (DWORD rc = EndFrame()) return rc;
    return CloseFinished();
  }
  if (collecting())
    if (DWORD rc = Collect(reinterpret_cast<const BYTE*>(raw.data()), raw.size())) return rc;
  header.depth = stack_.size();
  if (DWORD rc = StartElement(header, header_size)) return rc;
  if (collect_index_ == stack_.size() - 1) collected_ = std::move(raw);
  return CloseFinished();
}

DWORD StreamParser::StartElement(const Header& header, uint64_t /*header_size*/) {
  if (header.indefinite && !header.constructed()) return CRYPT_E_ASN1_CORRUPT;
  if (stack_.size() >= kMaxDepth) return CRYPT_E_ASN1_CORRUPT;
  Frame frame;
  frame.header = header;
  frame.end = offset_ + header.length;
  if (!header.indefinite && frame.end > EnclosingEnd()) return CRYPT_E_ASN1_CORRUPT;
  if (collecting() || (!stack_.empty() && !stack_.back().walked)) {
    frame.walked = false;
  } else {
    StreamHandler::Mode mode = StreamHandler::Mode::kWalk;
    if (DWORD rc = handler_->OnStart(header, &mode)) return rc;
    if (mode == StreamHandler::Mode::kCollect) {
      frame.walked = false;
      collect_index_ = stack_.size();
    }
  }
  stack_.push_back(frame);
  return 0;
}

uint64_t StreamParser::EnclosingEnd() const {
  // An indefinite element ends where its end-of-contents says, but never
  // beyond the definite element around it.
  for (auto it = stack_.rbegin(); it != stack_.rend(); ++it)
    if (!it->header.indefinite) return it->end;
  return UINT64_MAX;
}

DWORD StreamParser::EndFrame() {
  const Frame frame = stack_.back();
  stack_.pop_back();
  DWORD rc = 0;
  if (collect_index_ == stack_.size()) {
    collect_index_ = kNone;
    rc = handler_->OnCollected(frame.header, std::move(collected_));
    collected_.clear();
  } else if (frame.walked && !collecting()) {
    rc = handler_->OnEnd(frame.header);
  }
  if (stack_.empty()) done_ = true;
  return rc;
}

DWORD StreamParser::CloseFinished() {
  while (!stack_.empty() && !stack_.back().header.indefinite && offset_ == stack_.back().end)
    if (DWORD rc = EndFrame()) return rc;
  return 0;
}

DWORD StreamParser::Collect(const BYTE* data, size_t size) {
  if (collected_.size() + size > max_collect_) return CRYPT_E_MSG_ERROR;
  collected_.append(reinterpret_cast<const char*>(data), size);
  return 0;
}

}  // namespace zuntar::ber
