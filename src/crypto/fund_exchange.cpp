#include "crypto/fund_exchange.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "core/base64.h"
#include "core/text.h"
#include "core/utf.h"
#include "crypto/cert_lookup.h"
#include "crypto/certificate_key.h"
#include "crypto/crypt_exceptions.h"
#include "crypto/fund_blobs.h"
#include "platform/capi/api/crypt_api.h"
#include "platform/capi/csp/param_value.h"
#include "xml/xml_parser.h"

namespace zuntar {
namespace {

// Paths from the root element, by the shape of the response: a SOAP
// envelope, or the encrypted-data element itself as the root.
constexpr char kEnvelopeKeyPath[] =
    "soap:Body/xenc:EncryptedData/ds:KeyInfo/xenc:EncryptedKey/xenc:CipherData/xenc:CipherValue";
constexpr char kEnvelopeDataPath[] = "soap:Body/xenc:EncryptedData/xenc:CipherData/xenc:CipherValue";
constexpr char kBareKeyPath[] = "ds:KeyInfo/xenc:EncryptedKey/xenc:CipherData/xenc:CipherValue";
constexpr char kBareDataPath[] = "xenc:CipherData/xenc:CipherValue";

constexpr size_t kBlockSize = 8;

struct ResponseParts {
  Bytes key_transport;
  Bytes encrypted_data;  // initialisation vector, then the ciphertext
};

TkelXMLNode2& Element(const TkelXMLNode2& root, const char* path) {
  TkelXMLNode2* node = root.SelectNode(path);
  if (node == nullptr) throw Exception(AnsiFromUtf8("Не найден элемент ") + path);
  return *node;
}

ResponseParts ReadResponse(const Bytes& response) {
  auto document = std::make_unique<TkelXMLParser2>();
  document->LoadXML(response);
  const bool envelope = UpperCase(document->Name()).find("ENVELOPE") != std::string::npos;
  ResponseParts parts;
  parts.key_transport = Base64Decode(Element(*document, envelope ? kEnvelopeKeyPath : kBareKeyPath).Text());
  // The payload's text (which took over the parser's source buffer) leaves
  // the document, the document goes, and the text is decoded where it
  // lies: a large response is held twice at most, the caller's and this.
  std::string data_text = Element(*document, envelope ? kEnvelopeDataPath : kBareDataPath).TakeText();
  document.reset();
  Base64DecodeInPlace(data_text);
  parts.encrypted_data = std::move(data_text);
  return parts;
}

void Check(bool ok) {
  if (!ok) throw LastWin32Error();
}

BYTE* Ptr(Bytes& b) { return reinterpret_cast<BYTE*>(b.data()); }

// A key handle destroyed when it goes out of scope, however the call ends.
class ScopedKey {
 public:
  ScopedKey() = default;
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  ~ScopedKey() {
    if (key_ != nullptr) CryptDestroyKey(key_);
  }

  HCRYPTKEY* Out() { return &key_; }
  const HCRYPTKEY& Get() const { return key_; }

  // Destroys the key now; a failure is the platform's error.
  void Destroy() { Check(CryptDestroyKey(key_)); }

 private:
  HCRYPTKEY key_;
};

std::string ProviderName(const HCRYPTPROV& prov) {
  DWORD size = 0;
  Check(CryptGetProvParam(prov, PP_NAME, nullptr, &size, 0));
  Bytes name(size, '\0');
  Check(CryptGetProvParam(prov, PP_NAME, Ptr(name), &size, 0));
  name.resize(std::min<size_t>(size, name.size()));
  return name.substr(0, name.find('\0'));
}

// Eight bytes a call, each piece in place and its plain bytes moved down to
// follow the ones before; a piece is final when no whole piece follows it.
void DecryptInPieces(const HCRYPTKEY& key, Bytes& data) {
  const size_t length = data.size();
  size_t written = 0;
  for (size_t pos = 0; pos < length; pos += kBlockSize) {
    DWORD piece = static_cast<DWORD>(std::min(kBlockSize, length - pos));
    const bool final = pos + 1 + kBlockSize > length;
    Check(CryptDecrypt(key, nullptr, final, 0, Ptr(data) + pos, &piece));
    std::memmove(data.data() + written, data.data() + pos, piece);
    written += piece;
  }
  data.resize(written);
}

void DecryptWhole(const HCRYPTKEY& key, Bytes& data, bool two_step_final) {
  DWORD length = static_cast<DWORD>(data.size());
  Check(CryptDecrypt(key, nullptr, !two_step_final, 0, Ptr(data), &length));
  data.resize(length);
  if (two_step_final) {
    DWORD none = 0;
    Check(CryptDecrypt(key, nullptr, true, 0, nullptr, &none));
  }
  RemoveFundPadding(&data);
}

}  // namespace

Bytes DecryptFundResponse(const Bytes& response, const Bytes& cert_body) {
  ResponseParts parts = ReadResponse(response);
  const FundKeyTransport transport = ReadFundKeyTransport(parts.key_transport);
  Bytes& data = parts.encrypted_data;
  if (data.size() < 2 * kBlockSize) throw Exception(AnsiFromUtf8("Длина зашифрованных данных меньше 8 байт"));
  const Bytes iv = data.substr(0, kBlockSize);
  data.erase(0, kBlockSize);

  const PCCERT_CONTEXT cert = LocateCertificate(cert_body, true);
  if (cert == nullptr) throw Exception(AnsiFromUtf8("Не удается получить контекст сертификата !"));
  const HCRYPTPROV prov = AcquireKeyOrThrow(cert, CRYPT_ACQUIRE_CACHE_FLAG, [] { throw LastWin32Error(); }).prov;
  const FundProviderProfile profile = FundProfileFor(ProviderName(prov));

  // Declared in this order so that leaving early destroys them in the
  // order the success path does: content, agreement, exchange.
  ScopedKey exchange, agreement, content;
  Check(CryptGetUserKey(prov, AT_KEYEXCHANGE, exchange.Out()));
  const Bytes public_blob =
      FundPublicKeyBlob(cert->Info().SubjectPublicKeyInfo.Algorithm.Parameters, transport.ephemeral_key);
  Check(CryptImportKey(prov, public_blob, exchange.Get(), 0, agreement.Out()));
  Check(CryptSetKeyParam(agreement.Get(), profile.agreement_param, csp::DwordBytes(CALG_PRO_EXPORT), 0));
  Check(CryptImportKey(prov, FundSimpleBlob(transport), agreement.Get(), 0, content.Out()));
  Check(CryptSetKeyParam(content.Get(), KP_IV, iv, 0));
  Check(CryptSetKeyParam(content.Get(), KP_MODE, csp::DwordBytes(CRYPT_MODE_CBC), 0));
  if (profile.padding != 0) Check(CryptSetKeyParam(content.Get(), KP_PADDING, csp::DwordBytes(profile.padding), 0));

  if (profile.decryption == FundDecryption::kPieces)
    DecryptInPieces(content.Get(), data);
  else
    DecryptWhole(content.Get(), data, profile.decryption == FundDecryption::kWholeTwoStepFinal);

  content.Destroy();
  agreement.Destroy();
  exchange.Destroy();
  return std::move(data);
}

Bytes SignXmlDocument(const Bytes&, const Bytes&) { throw EAbort(AnsiFromUtf8("Операция прервана")); }

Bytes SignFundRequest(const Bytes&, const Bytes&) { throw EAbort(AnsiFromUtf8("Операция прервана")); }

}  // namespace zuntar
