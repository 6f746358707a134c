// A push parser of BER framing: bytes go in as they arrive, in pieces of any
// size, and the handler hears of each element as it starts and ends.
//
// The parser keeps only the header it is reading and the stack of open
// elements, so the contents of a message of any size pass through in
// constant memory. The handler decides per element whether to walk into it
// (its children, or a primitive's contents piece by piece) or to have it
// collected whole (small parts such as certificates and signer information).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/capi/base/crypt_types.h"

namespace zuntar::ber {

struct Header {
  BYTE tag = 0;
  bool indefinite = false;
  uint64_t length = 0;  // of the contents, for a definite length
  size_t depth = 0;     // 0 for the outermost element
  bool constructed() const { return (tag & 0x20) != 0; }
};

class StreamHandler {
 public:
  enum class Mode { kWalk, kCollect };
  virtual ~StreamHandler() = default;
  // An element starts: set how to read it. A non-zero answer stops parsing.
  virtual DWORD OnStart(const Header& header, Mode* mode) = 0;
  // A piece of a walked primitive element's contents.
  virtual DWORD OnContent(const Header& header, const BYTE* data, size_t size) = 0;
  // A walked element ended.
  virtual DWORD OnEnd(const Header& header) = 0;
  // The whole encoding of a collected element.
  virtual DWORD OnCollected(const Header& header, Bytes encoding) = 0;
};

class StreamParser {
 public:
  // Collected elements larger than max_collect fail the parse.
  StreamParser(StreamHandler* handler, size_t max_collect) : handler_(handler), max_collect_(max_collect) {}

  // 0, or the handler's code, or the code of malformed input. Bytes after the
  // end of the outermost element answer CRYPT_E_MSG_ERROR.
  DWORD Feed(const BYTE* data, size_t size);
  // The outermost element is complete.
  bool done() const { return done_; }
  uint64_t offset() const { return offset_; }

 private:
  struct Frame {
    Header header;
    uint64_t end = 0;  // offset after the contents, for a definite length
    bool walked = true;
  };

  DWORD ReadHeader(const BYTE** data, size_t* size);
  DWORD StartElement(const Header& header, uint64_t header_size);
  DWORD EndFrame();
  // End of the innermost definite element that is open.
  uint64_t EnclosingEnd() const;
  DWORD CloseFinished();
  bool collecting() const { return collect_index_ != kNone; }
  DWORD Collect(const BYTE* data, size_t size);

  static constexpr size_t kNone = SIZE_MAX;
  static constexpr size_t kMaxDepth = 64;

  StreamHandler* handler_;
  size_t max_collect_;
  std::vector<Frame> stack_;
  Bytes header_;
  uint64_t offset_ = 0;
  bool done_ = false;
  size_t collect_index_ = kNone;
  Bytes collected_;
};

}  // namespace zuntar::ber
