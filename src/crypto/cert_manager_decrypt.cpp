// Decryption by the certificate manager: with the certificate given or the
// current one first, then with every recipient whose key is at hand, in the
// current user's store and then in the machine's.
#include "certs/vcert_error.h"
#include "core/utf.h"
#include "crypto/cert_lookup.h"
#include "crypto/cert_manager_csp.h"
#include "crypto/decoded_messages.h"
#include "crypto/stream_messages.h"
#include "crypto/streams.h"

namespace zuntar {
namespace {

constexpr uint32_t kUnknownRecipientCode = 0xE0700026;

// The person cancelled a PIN or key-media request, 0x8010006E in the
// message: no other certificate may ask again. Errors of single calls write
// the code in signed decimal; the decryption for a certificate among
// several recipients writes its last code in unsigned decimal.
bool CancelledByUser(const std::exception& e) {
  const std::string message = e.what();
  return message.find("-2146434962") != std::string::npos || message.find("2148532334") != std::string::npos;
}

}  // namespace

Bytes TVCertMgrCSP::StreamDecrypt(const PCCERT_CONTEXT& cert, const Bytes& data) {
  TMemoryStream input(data);
  TMemoryStream output;
  TDecodedStreamEnvelopedMessage(input, cert, output);
  return output.Data();
}

bool TVCertMgrCSP::DecryptWithStore(TDecodedEnvelopedMessage& message, const Bytes& data, const HCERTSTORE& store,
                                    bool fallback, Bytes& plain) {
  const DWORD count = message.RecipientCount();
  for (DWORD i = 0; i < count; ++i) {
    try {
      const PCCERT_CONTEXT cert = message.FindRecipientCert(i, store);
      if (cert == nullptr) continue;
      try {
        message.DecryptRecipient(i, cert);
        plain = message.Content();
        return true;
      } catch (const std::exception& e) {
        if (!fallback || CancelledByUser(e)) throw;
        plain = StreamDecrypt(cert, data);
        return true;
      }
    } catch (const std::exception& e) {
      if (CancelledByUser(e)) throw;
    }
  }
  return false;
}

void TVCertMgrCSP::DecryptBuffer(DataBuffer data, const Bytes& cert_body, Bytes& plain) {
  plain.clear();
  const Bytes bytes(reinterpret_cast<const char*>(data.data), DataLength(data));
  const PCCERT_CONTEXT cert = CertificateOrNone(cert_body);
  TDecodedEnvelopedMessage message(bytes);
  const bool fallback = stream_decrypt_fallback_;
  if (cert != nullptr) {
    try {
      message.DecryptFor(cert);
      plain = message.Content();
      return;
    } catch (const std::exception& e) {
      if (CancelledByUser(e)) throw;
    }
    if (fallback) {
      try {
        plain = StreamDecrypt(cert, bytes);
        return;
      } catch (const std::exception& e) {
        if (CancelledByUser(e)) throw;
      }
    }
  }
  if (HCERTSTORE user = OpenCurrentUserStore())
    if (DecryptWithStore(message, bytes, user, fallback, plain)) return;
  if (HCERTSTORE machine = OpenLocalMachineStore(false))
    if (DecryptWithStore(message, bytes, machine, false, plain)) return;
  throw VCERT_Error(AnsiFromUtf8("Неизвестен получатель зашифрованного сообщения !"), kUnknownRecipientCode);
}

}  // namespace zuntar
