// The recipients of an enveloped message as the message layer numbers
// them: each key-transport recipient and each encrypted key of a
// key-agreement recipient, in the message's order. A recipient of another
// kind keeps its place with an empty identifier.
#pragma once

#include <vector>

#include "platform/capi/msg/crypt_msg.h"

namespace zuntar {

struct EnvelopeRecipient {
  CERT_INFO id;       // Issuer and SerialNumber; empty for a recipient named otherwise
  DWORD choice = 0;   // CMSG_KEY_TRANS_RECIPIENT, CMSG_KEY_AGREE_RECIPIENT, or 0
  DWORD index = 0;    // among the key-transport recipients, or among all (key agreement)
  DWORD key_index = 0;            // the encrypted key of a key-agreement recipient
  CRYPT_BIT_BLOB originator_key;  // of a key-agreement recipient
};

// Fills `out`; false, with the last error set, when the message cannot say.
bool EnvelopeRecipients(const HCRYPTMSG& msg, std::vector<EnvelopeRecipient>& out);

// The decrypt control of the recipient's kind with the provider and the
// key's number (AT_KEYEXCHANGE, AT_SIGNATURE). 0, or the failure code.
DWORD DecryptEnvelopeRecipient(const HCRYPTMSG& msg, const EnvelopeRecipient& recipient, const HCRYPTPROV& prov,
                               DWORD key_spec);

}  // namespace zuntar
