// The JSON reply envelope every command answers with.
//
// Built as text, never by a JSON library: pages written against this system
// expect these exact bytes (member order, CR LF line breaks, one blank after
// each colon, no escaping in the as-is Data form).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_message.h"

namespace zuntar {

// A text as the content of a JSON string: backslashes and double quotes get
// a backslash, bytes below 0x20 their escape (\b \t \n \f \r, else
// \u00XX). Other bytes are kept, so the text's code page is unchanged.
std::string JsonEscape(std::string_view text);

// Data is null when empty, else Base64 of the bytes in quotes, or (as_is)
// the text in quotes unchanged. Error texts are in the ANSI code page; empty
// ones are skipped.
std::string MakeReply(bool status, std::string_view data, const std::vector<std::string>& errors,
                      bool as_is = false);

// The success envelope of `data` (MakeReply(true, data, {})) made while it
// is sent: the Base64 of a large result is never held whole.
std::unique_ptr<ReplyBodySource> StreamedReply(std::string data);

// The same for data in pieces held elsewhere, one after another. `last`
// runs before the envelope's last bytes go out (the reply is not whole
// before it returns), and holds what the pieces point into until the reply
// is gone.
std::unique_ptr<ReplyBodySource> StreamedReply(std::vector<std::string_view> parts, std::function<void()> last);

// Data is null for no entries, else a '[' line and one line with the entry
// objects joined by ','.
std::string MakeListReply(bool status, const std::vector<std::string>* entries,
                          const std::vector<std::string>& errors);

// A list reply with entries in pieces, for entries held elsewhere or made
// while the reply is sent: the head, the entries joined by ',', the tail.
std::string ListReplyHead(bool status);
std::string ListReplyTail(const std::vector<std::string>& errors);

}  // namespace zuntar
