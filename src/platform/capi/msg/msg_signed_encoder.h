// The encoder of signed messages: hashes the content through each signer's
// provider while it passes, and signs when the final piece has come.
#pragma once

#include <vector>

#include "platform/capi/msg/crypt_msg.h"
#include "platform/capi/msg/msg_algorithms.h"

namespace zuntar {

class SignedEncoder : public CryptMsg {
 public:
  static DWORD Open(const CMSG_SIGNED_ENCODE_INFO& info, bool detached, const CMSG_STREAM_INFO* stream,
                    HCRYPTMSG* msg);

  DWORD Update(const BYTE* data, size_t size, bool final) override;
  DWORD GetBytes(DWORD param, DWORD index, Bytes* value) override;

 private:
  struct Signer {
    CMSG_SIGNER_ENCODE_INFO info;
    const MsgHashAlgorithm* hash = nullptr;
    HCRYPTHASH content_hash;
    size_t signature_size = 0;
    Bytes digest;
  };

  SignedEncoder() = default;
  DWORD Emit(const Bytes& bytes, bool final);
  DWORD Emit(const BYTE* data, size_t size, bool final);
  DWORD Finish();
  // SignerInfo of a signer; a zero signature of the right size when
  // `signature` is null (to learn the size before signing).
  Bytes SignerInfo(const Signer& signer, const Bytes* signature) const;
  Bytes SignedAttributes(const Signer& signer) const;
  DWORD Sign(Signer& signer, Bytes* signature) const;
  // The SignedData fields before the content and after it.
  Bytes DigestAlgorithms() const;
  Bytes CertificatesAndCrls() const;
  Bytes Prefix(uint64_t content_size) const;
  Bytes IndefinitePrefix() const;

  std::vector<Signer> signers_;
  CMSG_SIGNED_ENCODE_INFO info_;
  bool detached_ = false;
  bool streamed_ = false;
  PFN_CMSG_STREAM_OUTPUT output_;
  DWORD declared_size_ = CMSG_INDEFINITE_LENGTH;
  uint64_t fed_ = 0;
  bool started_ = false;
  bool finished_ = false;
  Bytes content_;  // attached content of an unstreamed message
  Bytes encoded_;  // the whole message when unstreamed
};

}  // namespace zuntar
