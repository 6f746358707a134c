#include "crypto/cert_manager.h"

#include <limits>

#include "certs/os_error.h"

namespace zuntar {

DataBuffer BufferOf(const Bytes& bytes) {
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    throw Exception(ProgramText("Слишком большой буфер данных: ", "Data buffer too large: ") +
                    std::to_string(bytes.size()));
  return {static_cast<int32_t>(bytes.size()), reinterpret_cast<const BYTE*>(bytes.data())};
}

DWORD DataLength(DataBuffer data) {
  if (data.length < 0 || (data.length > 0 && data.data == nullptr))
    throw Exception(ProgramText("Неверный буфер данных", "Invalid data buffer"));
  return static_cast<DWORD>(data.length);
}

void TVCertMgr::Abstract(const char* operation, int slot) const {
  throw EAbstractError(ProgramText("Вызов абстрактного метода ", "Abstract method called: ") + ClassName() + "." +
                       operation + " (" + ProgramText("слот ", "slot ") + std::to_string(slot) + ")");
}

void TVCertMgr::SetCertificate(const Bytes& cert_body) {
  MutexLock lock(mu_);
  current_cert_body_ = cert_body;
}

void TVCertMgr::SetOnCertificateNeeded(CertificateNeededEvent event) {
  MutexLock lock(mu_);
  on_certificate_needed_ = std::move(event);
}

Bytes TVCertMgr::CurrentCertBody() const {
  MutexLock lock(mu_);
  return current_cert_body_;
}

CertificateNeededEvent TVCertMgr::OnCertificateNeeded() const {
  MutexLock lock(mu_);
  return on_certificate_needed_;
}

// ---- Slots this class leaves abstract ------------------------------------------

std::unique_ptr<TVCertMgr> TVCertMgr::Clone() { Abstract("Clone", 4); }
void TVCertMgr::SignBuffer(DataBuffer, const Bytes&, bool, bool, Bytes&) { Abstract("SignBuffer", 5); }
void TVCertMgr::SignRawBuffer(DataBuffer, const Bytes&, Bytes&) { Abstract("SignRawBuffer", 6); }
void TVCertMgr::SignFile(const std::string&, const std::string&, bool, const Bytes&) { Abstract("SignFile", 7); }
void TVCertMgr::SignStream(TStream&, TStream&, bool, const Bytes&) { Abstract("SignStream", 8); }
void TVCertMgr::HashBuffer(DataBuffer, Bytes&) { Abstract("HashBuffer", 9); }
void TVCertMgr::SignHash(const Bytes&, const Bytes&, Bytes&) { Abstract("SignHash", 10); }
void TVCertMgr::EncryptBuffer(DataBuffer, const std::vector<Bytes>&, Bytes&) { Abstract("EncryptBuffer", 11); }
void TVCertMgr::DecryptBuffer(DataBuffer, const Bytes&, Bytes&) { Abstract("DecryptBuffer", 12); }
void TVCertMgr::DecryptFile(const std::string&, const std::string&, const Bytes&) { Abstract("DecryptFile", 13); }
void TVCertMgr::DecryptStream(TStream&, TStream&, const Bytes&) { Abstract("DecryptStream", 14); }
void TVCertMgr::GetSignedContent(DataBuffer, Bytes&) { Abstract("GetSignedContent", 15); }
uint32_t TVCertMgr::VerifySigned(DataBuffer, std::string&, TStringList*, DateTime) { Abstract("VerifySigned", 16); }
uint32_t TVCertMgr::VerifyDetached(DataBuffer, DataBuffer, TStringList*, DateTime, std::string&) {
  Abstract("VerifyDetached", 17);
}
uint32_t TVCertMgr::VerifyDetachedFiles(const std::string&, const std::string&, TStringList*, DateTime,
                                        std::string&) {
  Abstract("VerifyDetachedFiles", 18);
}
uint32_t TVCertMgr::VerifyDetachedStreams(TStream&, TStream&, TStringList*, DateTime, std::string&) {
  Abstract("VerifyDetachedStreams", 19);
}
uint32_t TVCertMgr::VerifySignedStream(TStream&, std::string&, TStringList*, DateTime) {
  Abstract("VerifySignedStream", 20);
}
uint32_t TVCertMgr::VerifySignedStreamContent(TStream&, TStream*, TStringList*, DateTime, std::string&) {
  Abstract("VerifySignedStreamContent", 21);
}
void TVCertMgr::GetCertBodyBySerial(const std::string&, Bytes&) { Abstract("GetCertBodyBySerial", 22); }
bool TVCertMgr::GetSignatureCerts(const Bytes&, TStringList&) { Abstract("GetSignatureCerts", 23); }
uint32_t TVCertMgr::VerifyCertChain(const Bytes&, DateTime) { Abstract("VerifyCertChain", 24); }
void TVCertMgr::ShowCert(const Bytes&) { Abstract("ShowCert", 27); }
void TVCertMgr::AddCertToStore(const Bytes&, const std::string&) { Abstract("AddCertToStore", 28); }
void TVCertMgr::Reserved29() { Abstract("Reserved29", 29); }
void TVCertMgr::ImportCrl(const Bytes&) { Abstract("ImportCrl", 30); }
void TVCertMgr::Reserved31() { Abstract("Reserved31", 31); }
bool TVCertMgr::HasPrivateKey(const Bytes&) { Abstract("HasPrivateKey", 34); }
bool TVCertMgr::InstallPersonalCert(const std::string&, const Bytes&, std::string&) {
  Abstract("InstallPersonalCert", 35);
}
bool TVCertMgr::Reserved36() { Abstract("Reserved36", 36); }
void TVCertMgr::Reserved37() { Abstract("Reserved37", 37); }
bool TVCertMgr::IsCryptoProInstalled() { Abstract("IsCryptoProInstalled", 38); }
void TVCertMgr::GetCertInfo(const Bytes&, uint32_t, VCERT_INFO&) { Abstract("GetCertInfo", 39); }
void TVCertMgr::FreeCertInfo(VCERT_INFO&) { Abstract("FreeCertInfo", 40); }
void TVCertMgr::EnumPersonal(TStringList&) { Abstract("EnumPersonal", 41); }
void TVCertMgr::EnumAll(TStringList&) { Abstract("EnumAll", 42); }
bool TVCertMgr::GetRecipientSerials(DataBuffer, TStringList&) { Abstract("GetRecipientSerials", 43); }
bool TVCertMgr::GetRecipientNames(const Bytes&, TStringList&) { Abstract("GetRecipientNames", 44); }

// ---- Byte-string forms -----------------------------------------------------------

Bytes TVCertMgr::Sign(const Bytes& data, const Bytes& cert_body, bool detached, bool ignored) {
  Bytes out;
  SignBuffer(BufferOf(data), cert_body, detached, ignored, out);
  return out;
}

void TVCertMgr::SignAttachedInPlace(Bytes& data, const Bytes& cert_body) {
  data = Sign(data, cert_body, false, false);
}

bool TVCertMgr::SignAttachedAround(const Bytes&, const Bytes&, Bytes&, Bytes&,
                                   const std::function<void(const Bytes&)>&) {
  return false;
}

Bytes TVCertMgr::SignRaw(const Bytes& data, const Bytes& cert_body) {
  Bytes out;
  SignRawBuffer(BufferOf(data), cert_body, out);
  return out;
}

Bytes TVCertMgr::Hash(const Bytes& data) {
  Bytes out;
  HashBuffer(BufferOf(data), out);
  return out;
}

Bytes TVCertMgr::Decrypt(const Bytes& data, const Bytes& cert_body) {
  Bytes out;
  DecryptBuffer(BufferOf(data), cert_body, out);
  return out;
}

}  // namespace zuntar
