#include "message_commands.h"

#include <openssl/bio.h>
#include <openssl/cms.h>

#include <cstdio>
#include <iostream>

#include "certtool.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/ossl.h"
#include "platform/capi/cert/store_files.h"
#include "platform/capi/msg/agree_envelope.h"
#include "platform/capi/msg/crypt_msg.h"
#include "platform/capi/msg/crypt_msg_simple.h"
#include "platform/capi/msg/envelope_recipients.h"
#include "platform/capi/msg/msg_algorithms.h"
#include "platform/capi/msg/signing_time.h"

namespace zuntar::certtool {
namespace {

constexpr size_t kChunk = 16384;

constexpr char kSignUsage[] =
    "Usage: zuntar-certtool sign --thumbprint HEX [--detached] IN OUT\n"
    "Signs IN with the certificate of the personal store (DER CMS with the\n"
    "signing time); --detached leaves the content out.\n";
constexpr char kVerifyUsage[] =
    "Usage: zuntar-certtool verify SIG [--data FILE] [--out FILE]\n"
    "Checks every signature of SIG (against FILE for a detached one) and prints\n"
    "the signers; exit status 0 only when all are good. --out keeps the content.\n";
constexpr char kEncryptUsage[] =
    "Usage: zuntar-certtool encrypt --thumbprint HEX [--thumbprint HEX ...] [--agree] IN OUT\n"
    "Encrypts IN for the recipients (certificates of the personal stores): GOST\n"
    "key transport, or with --agree key agreement (an ephemeral key per recipient,\n"
    "VKO and the CryptoPro key wrap).\n";
constexpr char kDecryptUsage[] =
    "Usage: zuntar-certtool decrypt IN OUT\n"
    "Decrypts IN with the key of whichever recipient has a container here.\n";
constexpr char kHashUsage[] =
    "Usage: zuntar-certtool hash IN\n"
    "Prints the GOST R 34.11-2012 (256 bit) hash of IN in hexadecimal.\n";

bool WantsHelp(const std::vector<std::string>& args, const char* usage) {
  for (const std::string& a : args)
    if (a == "--help") {
      std::cout << usage;
      return true;
    }
  return false;
}

std::string Failure(const std::string& what) {
  const DWORD code = GetLastError();
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", code);
  return what + ": " + hex + " " + SysErrorMessage(code);
}

// Files opened for the life of a command.
class File {
 public:
  File(const std::string& path, const char* mode) : f_(std::fopen(path.c_str(), mode)) {
    if (f_ == nullptr) throw ToolError("cannot open " + path);
  }
  ~File() {
    if (f_ != nullptr) std::fclose(f_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  FILE* get() const { return f_; }
  uint64_t Size() const {
    const long at = std::ftell(f_);
    std::fseek(f_, 0, SEEK_END);
    const long size = std::ftell(f_);
    std::fseek(f_, at, SEEK_SET);
    return static_cast<uint64_t>(size);
  }
  // Output callback of a streamed message.
  PFN_CMSG_STREAM_OUTPUT Writer() const {
    return [f = f_](const BYTE* data, DWORD size, bool) {
      return size == 0 || std::fwrite(data, 1, size, f) == size;
    };
  }

 private:
  FILE* f_;
};

// Feeds a file in chunks; the short chunk (empty for whole chunks) is final.
void Feed(const HCRYPTMSG& msg, FILE* in, const std::string& what) {
  Bytes buffer(kChunk, '\0');
  while (true) {
    const size_t n = std::fread(buffer.data(), 1, kChunk, in);
    if (!CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(buffer.data()), static_cast<DWORD>(n), n < kChunk))
      throw ToolError(Failure(what));
    if (n < kChunk) return;
  }
}

// Every value of a repeatable option; the rest stays positional.
std::vector<std::string> TakeAll(std::vector<std::string>* args, const std::string& name) {
  std::vector<std::string> values, rest;
  for (size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] == name && i + 1 < args->size())
      values.push_back((*args)[++i]);
    else
      rest.push_back((*args)[i]);
  }
  *args = rest;
  return values;
}

Bytes FromHex(const std::string& text) {
  Bytes out;
  if (text.size() % 2 != 0) throw ToolError("not a hexadecimal thumbprint: " + text);
  for (size_t i = 0; i < text.size(); i += 2) {
    const std::string pair = text.substr(i, 2);
    if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      throw ToolError("not a hexadecimal thumbprint: " + text);
    out += static_cast<char>(std::stoi(pair, nullptr, 16));
  }
  return out;
}

// The certificate of that thumbprint in the personal stores.
PCCERT_CONTEXT FindByThumbprint(const std::string& hex) {
  const Bytes hash = FromHex(hex);
  for (DWORD location : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE}) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                     location | CERT_STORE_READONLY_FLAG, "MY");
    if (store == nullptr) continue;
    if (PCCERT_CONTEXT c = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, hash, nullptr))
      return c;
  }
  throw ToolError("no certificate with thumbprint " + hex + " in the personal store");
}

// The hash the certificate's own key signs with (the certificate's
// signature algorithm is its issuer's).
std::string HashOidFor(const PCCERT_CONTEXT& cert) {
  const MsgHashAlgorithm* hash = HashForKey(cert->Info().SubjectPublicKeyInfo.Algorithm.pszObjId);
  return hash != nullptr ? hash->hash_oid : szOID_CP_GOST_R3411_R3410EL;
}

// The certificate of a signer: from the message, else the personal store.
PCCERT_CONTEXT SignerCertificate(const HCRYPTMSG& msg, DWORD index) {
  CERT_INFO id;
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, index, &id)) return nullptr;
  HCERTSTORE certs = MessageCertificateStore(msg);
  if (PCCERT_CONTEXT c = CertFindCertificateInStore(certs, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &id, nullptr))
    return c;
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  return my != nullptr ? CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &id, nullptr)
                       : nullptr;
}

std::string SigningTimeText(const HCRYPTMSG& msg, DWORD index) {
  CRYPT_ATTRIBUTES attrs;
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, index, &attrs)) return {};
  for (const CRYPT_ATTRIBUTE& a : attrs.rgAttr) {
    FILETIME ft = 0;
    if (a.pszObjId != szOID_RSA_signingTime || a.rgValue.empty() || !DecodeSigningTime(a.rgValue[0], &ft)) continue;
    const time_t t = static_cast<time_t>(UnixFromFileTime(ft));
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&t));
    return text;
  }
  return {};
}

}  // namespace

int SignCommand(const std::vector<std::string>& args) {
  if (WantsHelp(args, kSignUsage)) return 0;
  const Options o(args, {"--thumbprint"}, {"--detached"});
  if (o.positional().size() != 2) throw ToolError("IN and OUT are required (see --help)");
  const PCCERT_CONTEXT cert = FindByThumbprint(o.Require("--thumbprint"));
  CMSG_SIGNER_ENCODE_INFO signer;
  if (!SignerForCertificate(cert, HashOidFor(cert), &signer)) throw ToolError(Failure("cannot use the key"));
  Bytes now;
  EncodeSigningTime(FileTimeFromUnix(static_cast<int64_t>(std::time(nullptr))), &now);
  signer.rgAuthAttr.push_back({szOID_RSA_signingTime, {now}});
  CMSG_SIGNED_ENCODE_INFO info;
  info.rgSigners = {signer};
  info.rgCertEncoded = {cert->Encoded()};
  File in(o.positional()[0], "rb");
  File out(o.positional()[1], "wb");
  CMSG_STREAM_INFO stream;
  const uint64_t size = in.Size();
  stream.cbContent = size < CMSG_INDEFINITE_LENGTH ? static_cast<DWORD>(size) : CMSG_INDEFINITE_LENGTH;
  stream.pfnStreamOutput = out.Writer();
  HCRYPTMSG msg = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                       o.Has("--detached") ? CMSG_DETACHED_FLAG : 0, CMSG_SIGNED, info, nullptr, &stream);
  if (msg == nullptr) throw ToolError(Failure("cannot start the message"));
  Feed(msg, in.get(), "signing failed");
  return 0;
}

int VerifyCommand(const std::vector<std::string>& args) {
  if (WantsHelp(args, kVerifyUsage)) return 0;
  const Options o(args, {"--data", "--out"}, {});
  if (o.positional().size() != 1) throw ToolError("SIG is required (see --help)");
  const bool detached = o.Has("--data");
  File sig(o.positional()[0], "rb");
  std::unique_ptr<File> out = o.Has("--out") ? std::make_unique<File>(o.Get("--out"), "wb") : nullptr;
  CMSG_STREAM_INFO stream;
  stream.cbContent = static_cast<DWORD>(std::min<uint64_t>(sig.Size(), CMSG_INDEFINITE_LENGTH));
  stream.pfnStreamOutput = out != nullptr ? out->Writer() : [](const BYTE*, DWORD, bool) { return true; };
  HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, detached ? CMSG_DETACHED_FLAG : 0,
                                       CMSG_SIGNED, 0, nullptr, &stream);
  Feed(msg, sig.get(), "not a signed message");
  if (detached) {
    File data(o.Get("--data"), "rb");
    Feed(msg, data.get(), "cannot read the data");
  }
  DWORD signers = 0;
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &signers) || signers == 0)
    throw ToolError("the message has no signer");
  bool all_good = true;
  for (DWORD i = 0; i < signers; ++i) {
    const PCCERT_CONTEXT cert = SignerCertificate(msg, i);
    if (cert == nullptr) {
      std::cout << "signer " << i << ": certificate not found\n";
      all_good = false;
      continue;
    }
    const bool good = CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, &cert->Info());
    const std::string verdict = good ? "good signature: " : Failure("BAD signature") + ": ";
    const std::string when = SigningTimeText(msg, i);
    std::cout << verdict << ListLine(cert)
              << (when.empty() ? "" : ", signed " + when) << "\n";
    all_good = all_good && good;
  }
  return all_good ? 0 : 1;
}

int EncryptCommand(const std::vector<std::string>& args) {
  if (WantsHelp(args, kEncryptUsage)) return 0;
  std::vector<std::string> rest = args;
  const std::vector<std::string> thumbprints = TakeAll(&rest, "--thumbprint");
  const Options o(rest, {}, {"--agree"});
  if (thumbprints.empty() || o.positional().size() != 2)
    throw ToolError("--thumbprint, IN and OUT are required (see --help)");
  if (o.Has("--agree")) {
    std::vector<PCCERT_CONTEXT> recipients;
    for (const std::string& t : thumbprints) recipients.push_back(FindByThumbprint(t));
    File in(o.positional()[0], "rb");
    File out(o.positional()[1], "wb");
    const auto read = [f = in.get()](BYTE* data, size_t size) { return std::fread(data, 1, size, f); };
    if (!EncodeKeyAgreeEnvelope(recipients, in.Size(), read, out.Writer()))
      throw ToolError(Failure("cannot encrypt"));
    return 0;
  }
  // OpenSSL's CMS streams the enveloped data from file to file itself.
  ossl::EnsureGostEngine();
  const EVP_CIPHER* cipher = ossl::CipherByName("gost89");
  ossl::BioPtr in(BIO_new_file(o.positional()[0].c_str(), "rb"));
  if (in == nullptr) throw ToolError("cannot open " + o.positional()[0]);
  const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_STREAM;
  ossl::CmsPtr cms(CMS_encrypt(nullptr, in.get(), cipher, flags));
  if (cms == nullptr) throw ToolError("cannot start the message");
  std::vector<PCCERT_CONTEXT> recipients;
  for (const std::string& t : thumbprints) {
    recipients.push_back(FindByThumbprint(t));
    CMS_RecipientInfo* ri = CMS_add1_recipient_cert(cms.get(), recipients.back()->Certificate(), flags | CMS_KEY_PARAM);
    if (ri == nullptr || EVP_PKEY_CTX_ctrl(CMS_RecipientInfo_get0_pkey_ctx(ri), -1, -1, EVP_PKEY_CTRL_CIPHER,
                                           EVP_CIPHER_get_nid(cipher), nullptr) <= 0)
      throw ToolError("cannot encrypt for " + t);
  }
  ossl::BioPtr out(BIO_new_file(o.positional()[1].c_str(), "wb"));
  if (out == nullptr || i2d_CMS_bio_stream(out.get(), cms.get(), in.get(), flags) != 1)
    throw ToolError("cannot write " + o.positional()[1]);
  ossl::ClearErrors();
  return 0;
}

namespace {

// Starts the decryption for the first recipient with a key here; false
// when none has one.
bool StartDecryption(const HCRYPTMSG& msg, const HCERTSTORE& my) {
  std::vector<EnvelopeRecipient> recipients;
  if (!EnvelopeRecipients(msg, recipients)) return false;
  for (const EnvelopeRecipient& t : recipients) {
    const PCCERT_CONTEXT cert =
        t.id.SerialNumber.empty() || my == nullptr
            ? nullptr
            : CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &t.id, nullptr);
    HCRYPTPROV prov;
    DWORD key_spec = 0;
    bool caller_free = false;
    if (cert == nullptr ||
        !CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &prov, &key_spec, &caller_free))
      continue;
    DWORD code = DecryptEnvelopeRecipient(msg, t, prov, key_spec);
    if (code == NTE_NO_KEY && key_spec != AT_KEYEXCHANGE) code = DecryptEnvelopeRecipient(msg, t, prov, AT_KEYEXCHANGE);
    if (code != 0) {
      SetLastError(code);
      throw ToolError(Failure("cannot decrypt for " + ListLine(cert)));
    }
    return true;
  }
  return false;
}

}  // namespace

int DecryptCommand(const std::vector<std::string>& args) {
  if (WantsHelp(args, kDecryptUsage)) return 0;
  const Options o(args, {}, {});
  if (o.positional().size() != 2) throw ToolError("IN and OUT are required (see --help)");
  File in(o.positional()[0], "rb");
  File out(o.positional()[1], "wb");
  CMSG_STREAM_INFO stream;
  stream.pfnStreamOutput = out.Writer();
  HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CMSG_ENVELOPED, 0, nullptr, &stream);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  Bytes buffer(kChunk, '\0');
  bool started = false;
  while (true) {
    const size_t n = std::fread(buffer.data(), 1, kChunk, in.get());
    if (!CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(buffer.data()), static_cast<DWORD>(n), n < kChunk))
      throw ToolError(Failure("not an enveloped message"));
    CRYPT_ALGORITHM_IDENTIFIER alg;
    if (!started && CryptMsgGetParam(msg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, &alg)) {
      started = StartDecryption(msg, my);
      if (!started) throw ToolError("none of the recipients has a key here");
    }
    if (n < kChunk) break;
  }
  if (!started) throw ToolError("the message ended before its recipients");
  return 0;
}

int HashCommand(const std::vector<std::string>& args) {
  if (WantsHelp(args, kHashUsage)) return 0;
  const Options o(args, {}, {});
  if (o.positional().size() != 1) throw ToolError("IN is required (see --help)");
  HCRYPTPROV prov;
  HCRYPTHASH hash;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT) ||
      !CryptCreateHash(prov, CALG_GR3411_2012_256, nullptr, 0, &hash))
    throw ToolError(Failure("no GOST provider"));
  File in(o.positional()[0], "rb");
  Bytes buffer(kChunk, '\0');
  while (size_t n = std::fread(buffer.data(), 1, kChunk, in.get()))
    if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(buffer.data()), static_cast<DWORD>(n), 0))
      throw ToolError(Failure("hashing failed"));
  BYTE value[32];
  DWORD size = sizeof value;
  if (!CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0)) throw ToolError(Failure("hashing failed"));
  std::string hex = HexUpper(Bytes(reinterpret_cast<char*>(value), size));
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::cout << hex << "\n";
  return 0;
}

}  // namespace zuntar::certtool
