// What a handler sees of one HTTP request and fills in for its reply.
//
// The request keeps the raw texts (method as sent, path and query split at
// the first '?', no decoding): commands are routed on exactly those bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zuntar {

struct HttpRequest {
  std::string method;  // as sent: "post" is not "POST"
  std::string path;    // target before the first '?'
  std::string query;   // target after the first '?', empty when none
  std::string body;                   // empty until the handler reads it
  std::optional<std::string> host;    // the Host header, when sent; several are joined with ", "
  std::optional<std::string> origin;  // the Origin header, when sent
  // Access-Control-Request-Private-Network of a preflight, empty when not sent.
  std::string request_private_network;
  std::string peer_ip;
  std::string local_ip;
};

// A reply body made while it is sent (the Base64 of a large result, the
// rows of a listing), so that it is never held whole.
class ReplyBodySource {
 public:
  virtual ~ReplyBodySource() = default;
  // The body's length when it is known before sending: the reply then
  // carries it as Content-Length; otherwise the body goes out in chunks.
  virtual std::optional<uint64_t> Length() const = 0;
  // Replaces `piece` by the next part of the body; false once the body has
  // ended. A failure throws: the reply ends short and the connection
  // closes, so the client sees it broken rather than complete.
  virtual bool Next(std::string& piece) = 0;
};

struct HttpResponse {
  int status = 200;
  std::string reason;  // empty: the standard phrase of the status
  std::string content_type;
  std::string content_encoding;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names unique
  std::string body;
  // When set, the body comes from here instead of `body`.
  std::unique_ptr<ReplyBodySource> body_source;

  // Sets a header, replacing an earlier value of the same name.
  void SetHeader(const std::string& name, const std::string& value);
  const std::string* Header(const std::string& name) const;
};

}  // namespace zuntar
