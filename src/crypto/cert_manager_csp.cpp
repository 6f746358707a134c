#include "crypto/cert_manager_csp.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "certs/cert_files.h"
#include "certs/os_error.h"
#include "certs/provider_detection.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/cert_lookup.h"
#include "crypto/certificate_key.h"
#include "crypto/decoded_messages.h"
#include "crypto/encoded_messages.h"
#include "crypto/low_level_messages.h"
#include "crypto/stream_messages.h"
#include "crypto/streams.h"
#include "platform/capi/base/error_codes.h"

namespace zuntar {
namespace {

// The manager whose certificate request the message layer's look-up hook
// answers with, and that request. Process-wide, as the hook is.
Mutex registration_mu;
const TVCertMgrCSP* registered_manager GUARDED_BY(registration_mu) = nullptr;
CertificateNeededEvent registered_event GUARDED_BY(registration_mu);

PCCERT_CONTEXT AskRegisteredManager(const std::string& serial) {
  CertificateNeededEvent event;
  {
    MutexLock lock(registration_mu);
    event = registered_event;
  }
  if (!event) return nullptr;
  Bytes body;
  event(serial, 1, body);
  return body.empty() ? nullptr : DecodeCertificate(body);
}

// A file written by a streamed operation: what stays buffered must reach
// the file, or the operation failed.
void FinishFile(TBufferedFileStream& file, const std::string& name) {
  if (!file.Flush()) throw EFCreateError(ProgramText("Ошибка записи файла \"", "Cannot write file \"") + name + "\"");
}

}  // namespace

TVCertMgrCSP::~TVCertMgrCSP() {
  MutexLock lock(registration_mu);
  if (registered_manager != this) return;
  registered_manager = nullptr;
  registered_event = nullptr;
  SetCertificateLookupHook(nullptr);
}

PCCERT_CONTEXT TVCertMgrCSP::CurrentCert() const {
  MutexLock lock(mu_);
  return current_cert_;
}

// ---- Certificate of an operation --------------------------------------------------

PCCERT_CONTEXT TVCertMgrCSP::CertificateOrNone(const Bytes& cert_body) const {
  if (cert_body.empty()) {
    PCCERT_CONTEXT current = CurrentCert();
    // Whatever failed earlier on this thread is not the reason.
    if (current == nullptr) SetLastError(CRYPT_E_NOT_FOUND);
    return current;
  }
  PCCERT_CONTEXT cert = LocateCertificate(cert_body, true);
  return cert != nullptr ? cert : LocateCertificate(cert_body, false);
}

PCCERT_CONTEXT TVCertMgrCSP::TakeCertificate(const Bytes& cert_body) const {
  PCCERT_CONTEXT cert = CertificateOrNone(cert_body);
  if (cert == nullptr) throw LastWin32Error();
  return cert;
}

void TVCertMgrCSP::SetCertificate(const Bytes& cert_body) {
  TVCertMgr::SetCertificate(cert_body);
  PCCERT_CONTEXT cert = LocateCertificate(cert_body, true);
  if (cert == nullptr) cert = LocateCertificate(cert_body, false);
  {
    MutexLock lock(mu_);
    current_cert_ = cert;
  }
  if (cert == nullptr) return;
  // The key stays open with the context, so a key-media or PIN request
  // comes now and not in the middle of an operation. Its outcome shows
  // there.
  TryAcquireKey(cert, CRYPT_ACQUIRE_CACHE_FLAG);
}

void TVCertMgrCSP::SetOnCertificateNeeded(CertificateNeededEvent event) {
  TVCertMgr::SetOnCertificateNeeded(event);
  MutexLock lock(registration_mu);
  if (event) {
    registered_manager = this;
    registered_event = std::move(event);
    SetCertificateLookupHook(&AskRegisteredManager);
  } else {
    registered_manager = nullptr;
    registered_event = nullptr;
    SetCertificateLookupHook(nullptr);
  }
}

std::unique_ptr<TVCertMgr> TVCertMgrCSP::Clone() {
  auto copy = std::make_unique<TVCertMgrCSP>(option());
  copy->TVCertMgr::SetCertificate(CurrentCertBody());
  {
    const PCCERT_CONTEXT current = CertDuplicateCertificateContext(CurrentCert());
    MutexLock lock(copy->mu_);
    copy->current_cert_ = current;
  }
  copy->chain_engine_ = chain_engine_;
  copy->listings_ = listings_;
  // A clone does the same work as its original, only on its own
  // certificate.
  copy->SetProviders(Providers());
  copy->stream_decrypt_fallback_ = stream_decrypt_fallback_.load();
  copy->add_signing_time_ = add_signing_time_.load();
  return copy;
}

// ---- Signing and hashing ------------------------------------------------------

void TVCertMgrCSP::SignBuffer(DataBuffer data, const Bytes& cert_body, bool detached, bool, Bytes& signed_message) {
  const DWORD length = DataLength(data);
  const PCCERT_CONTEXT cert = TakeCertificate(cert_body);
  const DateTime signing_time = add_signing_time_ ? Now() : 0;
  TEncodedSignedMessage message(length, signing_time, detached, cert, data.data);
  signed_message = message.TakeContent();
}

void TVCertMgrCSP::SignAttachedInPlace(Bytes& data, const Bytes& cert_body) {
  DataLength(BufferOf(data));  // the length limit of the slots
  const PCCERT_CONTEXT cert = TakeCertificate(cert_body);
  zuntar::SignAttachedInPlace(data, add_signing_time_ ? Now() : 0, cert);
}

bool TVCertMgrCSP::SignAttachedAround(const Bytes& data, const Bytes& cert_body, Bytes& head, Bytes& tail,
                                      const std::function<void(const Bytes& head)>& head_known) {
  DataLength(BufferOf(data));
  const PCCERT_CONTEXT cert = TakeCertificate(cert_body);
  zuntar::SignAttachedAround(data, add_signing_time_ ? Now() : 0, cert, head, tail, head_known);
  return true;
}

void TVCertMgrCSP::SignRawBuffer(DataBuffer data, const Bytes& cert_body, Bytes& signature) {
  const DWORD length = DataLength(data);
  const PCCERT_CONTEXT cert = TakeCertificate(cert_body);
  signature = TCPLowLevelEncodedSignedMsg(cert, length, data.data).Signature;
}

void TVCertMgrCSP::SignFile(const std::string& in_file, const std::string& out_file, bool detached,
                            const Bytes& cert_body) {
  const PCCERT_CONTEXT cert = TakeCertificate(cert_body);
  TBufferedFileStream input(in_file, TBufferedFileStream::Mode::kRead);
  TBufferedFileStream output(out_file, TBufferedFileStream::Mode::kCreate);
  TEncodedStreamSignedMessage(input, detached, cert, output);
  FinishFile(output, out_file);
}

void TVCertMgrCSP::SignStream(TStream& input, TStream& output, bool detached, const Bytes& cert_body) {
  const PCCERT_CONTEXT cert = TakeCertificate(cert_body);
  TEncodedStreamSignedMessage(input, detached, cert, output);
}

void TVCertMgrCSP::HashBuffer(DataBuffer data, Bytes& hash) {
  const DWORD length = DataLength(data);
  hash = TCPHashMsg(length, data.data).HashValue;
}

void TVCertMgrCSP::SignHash(const Bytes& hash, const Bytes& cert_body, Bytes& signature) {
  const PCCERT_CONTEXT cert = TakeCertificate(cert_body);
  signature = TCPLowLevelEncodedSignedHashMsg(cert, hash).Signature;
}

// ---- Encryption and content ---------------------------------------------------------

void TVCertMgrCSP::EncryptBuffer(DataBuffer data, const std::vector<Bytes>& recipient_bodies, Bytes& enveloped) {
  const DWORD length = DataLength(data);
  std::vector<PCCERT_CONTEXT> recipients;
  for (const Bytes& body : recipient_bodies)
    if (PCCERT_CONTEXT cert = DecodeCertificate(body)) recipients.push_back(std::move(cert));
  if (recipients.empty())
    throw Exception(AnsiFromUtf8("Не удалось найти приемлемых сертификатов получателей для шифрования !"));
  enveloped = TEncodedEnvelopedMessage(length, recipients, data.data).Content();
}

void TVCertMgrCSP::DecryptFile(const std::string& in_file, const std::string& out_file, const Bytes& cert_body) {
  TBufferedFileStream input(in_file, TBufferedFileStream::Mode::kRead);
  TBufferedFileStream output(out_file, TBufferedFileStream::Mode::kCreate);
  DecryptStream(input, output, cert_body);
  FinishFile(output, out_file);
}

void TVCertMgrCSP::DecryptStream(TStream& input, TStream& output, const Bytes& cert_body) {
  // Located like the certificate of any other operation: a body merely
  // decoded has no link to its key and could never decrypt.
  const PCCERT_CONTEXT cert = TakeCertificate(cert_body);
  TDecodedStreamEnvelopedMessage(input, cert, output);
}

void TVCertMgrCSP::GetSignedContent(DataBuffer data, Bytes& content) {
  const DWORD length = DataLength(data);
  content = TDecodedSignedMessage(length, data.data).Content();
}

bool TVCertMgrCSP::GetRecipientSerials(DataBuffer data, TStringList& list) {
  list.Clear();
  const DWORD length = DataLength(data);
  TDecodedEnvelopedMessage message(length, data.data);
  const DWORD count = message.RecipientCount();
  for (DWORD i = 0; i < count; ++i) list.Add(message.RecipientSerial(i));
  return count > 0;
}

bool TVCertMgrCSP::GetRecipientNames(const Bytes& enveloped_body, TStringList& list) {
  list.Clear();
  TDecodedEnvelopedMessage message(enveloped_body);
  const DWORD count = message.RecipientCount();
  for (DWORD i = 0; i < count; ++i) list.Add(message.RecipientDescription(i));
  return count > 0;
}

// ---- Certificates and stores ----------------------------------------------------------

void TVCertMgrCSP::GetCertBodyBySerial(const std::string& serial, Bytes& cert_body) {
  PCCERT_CONTEXT cert = FindStoreCertBySerial(serial, true);
  if (cert == nullptr) cert = FindStoreCertBySerial(serial, false);
  cert_body = CertBodyOf(cert);
}

void TVCertMgrCSP::ShowCert(const Bytes& cert_body) { ShowCertificate(cert_body); }

bool TVCertMgrCSP::IsCryptoProInstalled() { return Providers().crypto_pro_installed; }

void TVCertMgrCSP::GetCertInfo(const Bytes& cert_body, uint32_t flags, VCERT_INFO& info) {
  zuntar::GetCertInfo(cert_body, flags, info);
}

void TVCertMgrCSP::FreeCertInfo(VCERT_INFO& info) { zuntar::FreeCertInfo(info); }

void TVCertMgrCSP::EnumPersonal(TStringList& list) { EnumStores(list, true); }

void TVCertMgrCSP::EnumAll(TStringList& list) { EnumStores(list, false); }

void TVCertMgrCSP::EnumStores(TStringList& list, bool linked_only) {
  list.Clear();
  HCERTSTORE user = OpenCurrentUserStore("My");
  if (user == nullptr) throw Exception(AnsiFromUtf8("Ошибка открытия хранилища сертификатов."));
  const auto bodies = listings_->Get(linked_only, [&] { return ReadStores(user, linked_only); });
  for (const Bytes& body : *bodies) list.Add(body);
}

std::vector<Bytes> TVCertMgrCSP::ReadStores(const HCERTSTORE& user, bool linked_only) {
  // The machine's store is left out when it cannot be opened.
  HCERTSTORE machine = OpenLocalMachineStore(false);
  // A certificate kept in both stores, or twice in one, is listed once.
  std::vector<Bytes> listed;
  std::unordered_set<std::string_view> seen;
  std::vector<PCCERT_CONTEXT> contexts;  // keep the encodings `seen` points into
  for (const HCERTSTORE& store : {user, machine}) {
    if (store == nullptr) continue;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store, c)) {
      if (linked_only) {
        CRYPT_KEY_PROV_INFO info;
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, &info) ||
            info.pwszContainerName.empty())
          continue;
      }
      if (!seen.insert(c->Encoded()).second) continue;
      contexts.push_back(c);
      listed.push_back(c->Encoded());
    }
  }
  return listed;
}

}  // namespace zuntar
