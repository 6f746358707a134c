// Enveloped data for key-agreement recipients, the form Java systems on
// Bouncy Castle write: per recipient an ephemeral key on the recipient's
// curve, the key-encryption key from VKO of the two with an 8-byte UKM, and
// the content key under the CryptoPro key wrap; GOST 28147-89 CFB for the
// content. The content streams from `read` to `write` in constant memory.
#pragma once

#include <functional>
#include <vector>

#include "platform/capi/msg/crypt_msg_types.h"

namespace zuntar {

// Fills the buffer and answers how many bytes it holds, 0 at the end.
using AgreeEnvelopeReader = std::function<size_t(BYTE* data, size_t size)>;

// `content_size` is the number of bytes `read` delivers. False with the
// last error set when a recipient's key is not a GOST key or a write fails.
bool EncodeKeyAgreeEnvelope(const std::vector<PCCERT_CONTEXT>& recipients, uint64_t content_size,
                            const AgreeEnvelopeReader& read, const PFN_CMSG_STREAM_OUTPUT& write);

}  // namespace zuntar
