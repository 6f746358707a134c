// Encrypted responses of the fund's services, made by the openssl command
// (the gost engine's key transport and GOST 28147-89 CBC) and by the
// platform's own key calls, opened by DecryptFundResponse.
#include <openssl/rand.h>

#include "core/base64.h"
#include "core/utf.h"
#include "crypto/cert_identity.h"
#include "crypto/crypt_exceptions.h"
#include "crypto/crypto_fixture.h"
#include "crypto/fund_exchange.h"
#include "platform/capi/api/provider_registration.h"
#include "platform/capi/asn1/der_writer.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/csp/param_value.h"
#include "platform/platform_root.h"
#include "platform/registry_writer.h"

namespace zuntar {
namespace {

constexpr char kEnvelopeKeyPath[] =
    "soap:Body/xenc:EncryptedData/ds:KeyInfo/xenc:EncryptedKey/xenc:CipherData/xenc:CipherValue";
constexpr char kBareKeyPath[] = "ds:KeyInfo/xenc:EncryptedKey/xenc:CipherData/xenc:CipherValue";

// The key-transport value, and the vector followed by the ciphertext.
struct Sealed {
  Bytes key_transport;
  Bytes data;
};

Bytes Random(size_t n) {
  Bytes out(n, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n));
  return out;
}

// The fund pads an unaligned payload with N bytes of value N and leaves an
// aligned one as it is.
Bytes FundPadded(Bytes payload) {
  const size_t pad = (8 - payload.size() % 8) % 8;
  return payload.append(pad, static_cast<char>(pad));
}

Bytes Export(const HCRYPTKEY& key, const HCRYPTKEY& with, DWORD type) {
  DWORD len = 0;
  EXPECT_TRUE(CryptExportKey(key, with, type, 0, nullptr, &len));
  Bytes blob(len, '\0');
  EXPECT_TRUE(CryptExportKey(key, with, type, 0, reinterpret_cast<BYTE*>(blob.data()), &len));
  return blob.substr(0, len);
}

// The DER key-transport structure of a simple blob and the ephemeral key's
// public-key blob, as a sender lays it out.
Bytes KeyTransport(const Bytes& simple, const Bytes& ephemeral) {
  using ber::Wrap;
  const Bytes params = ephemeral.substr(16, ephemeral.size() - 16 - 64);
  const Bytes key_info = Wrap(0x30, ber::Oid("1.2.643.7.1.1.1.1") + params) +
                         Wrap(0x03, Bytes(1, '\0') + Wrap(0x04, ephemeral.substr(ephemeral.size() - 64)));
  const Bytes encrypted = Wrap(0x30, Wrap(0x04, simple.substr(24, 32)) + Wrap(0x04, simple.substr(56, 4)));
  const Bytes transport =
      Wrap(0xA0, ber::Oid("1.2.643.7.1.2.5.1.1") + Wrap(0xA0, key_info) + Wrap(0x04, simple.substr(16, 8)));
  return Wrap(0x30, encrypted + transport);
}

std::string Base64Lines(const Bytes& bytes) {
  std::string text = Base64Encode(bytes);
  for (size_t at = 76; at < text.size(); at += 78) text.insert(at, "\r\n");
  return text;
}

// An EncryptedData element whose own names carry `x` as their prefix.
std::string EncryptedData(const std::string& x, const Sealed& s, bool with_key = true, bool with_data = true) {
  std::string xml = "<" + x + "EncryptedData xmlns:xenc=\"http://www.w3.org/2001/04/xmlenc#\" " +
                    "Type=\"http://www.w3.org/2001/04/xmlenc#Content\"><" + x +
                    "EncryptionMethod Algorithm=\"urn:ietf:params:xml:ns:cpxmlsec:algorithms:gost28147\"/>";
  if (with_key)
    xml += "<ds:KeyInfo xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><" + x + "EncryptedKey><" + x +
           "CipherData><" + x + "CipherValue>" + Base64Encode(s.key_transport) + "</" + x + "CipherValue></" + x +
           "CipherData></" + x + "EncryptedKey></ds:KeyInfo>";
  if (with_data)
    xml += "<" + x + "CipherData>\r\n<" + x + "CipherValue>\r\n" + Base64Lines(s.data) + "\r\n</" + x +
           "CipherValue></" + x + "CipherData>";
  return xml + "</" + x + "EncryptedData>";
}

std::string Envelope(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
         "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\">"
         "<soapenv:Header/><soapenv:Body>" +
         body + "</soapenv:Body></soapenv:Envelope>";
}

// The class and message of what the decryption raises; empty when it
// returns.
std::string Raised(const std::string& response, const Bytes& cert_body) {
  try {
    DecryptFundResponse(response, cert_body);
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + " " + e.what();
  }
  return {};
}

std::string Win32Error(DWORD code) { return std::string("EWin32Error ") + Win32ErrorText(code); }

const Bytes kPayloads[] = {"aligned payload\x03", "seventeen bytes!!", "twenty-three bytes long"};

class FundResponseTest : public test::CryptoTest {
 protected:
  Sealed OpensslSeals(const test::Party& to, const Bytes& payload) {
    const Bytes content_key = Random(32), iv = Random(8);
    test::WriteFile(dir_ / "cek.bin", content_key);
    test::WriteFile(dir_ / "plain.bin", FundPadded(payload));
    EXPECT_EQ(test::Run("openssl pkeyutl -engine gost -encrypt -certin -inkey " + to.cert_pem + " -in " +
                        dir_ / "cek.bin" + " -out " + dir_ / "kt.bin"),
              0);
    EXPECT_EQ(test::Run("CRYPT_PARAMS=1.2.643.7.1.2.5.1.1 openssl enc -engine gost -gost89-cbc -nopad -K " +
                        BytesToHex(content_key) + " -iv " + BytesToHex(iv) + " -in " + dir_ / "plain.bin" +
                        " -out " + dir_ / "cipher.bin"),
              0);
    return {test::ReadFile(dir_ / "kt.bin"), iv + test::ReadFile(dir_ / "cipher.bin")};
  }

  static Sealed PlatformSeals(const test::Party& to, const Bytes& payload) {
    HCRYPTPROV prov;
    HCRYPTKEY holder, ephemeral, agreed, content;
    EXPECT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
    EXPECT_TRUE(CryptImportPublicKeyInfoEx(prov, X509_ASN_ENCODING, to.cert->Info().SubjectPublicKeyInfo, 0, 0,
                                           nullptr, &holder));
    EXPECT_TRUE(CryptGenKey(prov, CALG_DH_GR3410_12_256_EPHEM, CRYPT_EXPORTABLE, &ephemeral));
    EXPECT_TRUE(CryptImportKey(prov, Export(holder, nullptr, PUBLICKEYBLOB), ephemeral, 0, &agreed));
    EXPECT_TRUE(CryptSetKeyParam(agreed, KP_ALGID, csp::DwordBytes(CALG_PRO_EXPORT), 0));
    EXPECT_TRUE(CryptGenKey(prov, CALG_G28147, CRYPT_EXPORTABLE, &content));
    const Bytes iv = Random(8);
    EXPECT_TRUE(CryptSetKeyParam(content, KP_IV, iv, 0));
    EXPECT_TRUE(CryptSetKeyParam(content, KP_MODE, csp::DwordBytes(CRYPT_MODE_CBC), 0));
    Bytes data = FundPadded(payload);  // whole blocks: the key's zero padding adds nothing
    EXPECT_TRUE(CryptEncrypt(content, nullptr, true, 0, &data));
    return {KeyTransport(Export(content, agreed, SIMPLEBLOB), Export(ephemeral, nullptr, PUBLICKEYBLOB)), iv + data};
  }

  // A holder whose key-provider information names `provider`, served by
  // the provider module of the build.
  test::Party HolderWithProvider(const std::string& name, const std::string& provider) {
    RegistryWriter writer(RegistryFile());
    writer.SetString(std::string(kProviderKeyPath) + "\\" + provider, "Image Path", ZUNTAR_TEST_CSP_MODULE);
    writer.SetDword(std::string(kProviderKeyPath) + "\\" + provider, "Type", PROV_GOST_2012_256);
    writer.Save();
    test::Party p = Person(name, GostKeyKind::k2012_256, /*in_store=*/false);
    CRYPT_KEY_PROV_INFO info;
    EXPECT_TRUE(CertGetCertificateContextProperty(p.cert, CERT_KEY_PROV_INFO_PROP_ID, &info));
    info.pwszProvName = std::u16string(provider.begin(), provider.end());
    EXPECT_TRUE(CertSetCertificateContextProperty(p.cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    AddToStore(p.cert, true);
    return p;
  }
};

TEST_F(FundResponseTest, OpensslAndPlatformResponsesDecryptInBothShapes) {
  const test::Party holder = Person("holder");
  for (const Bytes& payload : kPayloads) {
    const Sealed theirs = OpensslSeals(holder, payload);
    const Sealed ours = PlatformSeals(holder, payload);
    ASSERT_EQ(theirs.key_transport.size(), 172u);
    // Both senders lay the structure out alike: only the four fields differ.
    Bytes a = theirs.key_transport, b = ours.key_transport;
    for (auto [at, length] : {std::pair{7, 32}, {41, 4}, {98, 64}, {164, 8}})
      for (Bytes* k : {&a, &b}) k->replace(at, length, length, '*');
    EXPECT_EQ(BytesToHex(a), BytesToHex(b));
    for (const Sealed& sealed : {theirs, ours}) {
      EXPECT_EQ(DecryptFundResponse(Envelope(EncryptedData("xenc:", sealed)), holder.issued.der), payload);
      EXPECT_EQ(DecryptFundResponse(EncryptedData("", sealed), holder.issued.der), payload);
    }
  }
  // The root's name decides the shape, in any case.
  const Sealed sealed = PlatformSeals(holder, kPayloads[0]);
  std::string lower = Envelope(EncryptedData("xenc:", sealed));
  for (size_t at; (at = lower.find("soapenv:Envelope")) != std::string::npos;) lower.replace(at, 16, "s:envelope");
  EXPECT_EQ(DecryptFundResponse(lower, holder.issued.der), kPayloads[0]);
}

TEST_F(FundResponseTest, EveryProviderProfileGivesThePayloadBack) {
  const Bytes xml = "<?xml version=\"1.0\"?><answer>" + Bytes(4000, 'z') + "</answer>\n";
  const char* providers[] = {"Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider",
                             "Infotecs GOST 2012/256 Cryptographic Service Provider",
                             "Zuntar Test Cryptographic Service Provider"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(providers[i]);
    const test::Party holder = HolderWithProvider("holder" + std::to_string(i), providers[i]);
    for (const Bytes& payload : {kPayloads[0], kPayloads[1], kPayloads[2], xml}) {
      const Sealed sealed = PlatformSeals(holder, payload);
      EXPECT_EQ(DecryptFundResponse(Envelope(EncryptedData("xenc:", sealed)), holder.issued.der), payload);
    }
  }
}

TEST_F(FundResponseTest, MissingElementsAreNamedByTheirPath) {
  const test::Party holder = Person("holder");
  const Sealed sealed = PlatformSeals(holder, kPayloads[1]);
  const std::string not_found = "Exception " + AnsiFromUtf8("Не найден элемент ");
  EXPECT_EQ(Raised(Envelope(EncryptedData("xenc:", sealed, false)), holder.issued.der), not_found + kEnvelopeKeyPath);
  EXPECT_EQ(Raised(EncryptedData("xenc:", sealed, false), holder.issued.der), not_found + kBareKeyPath);
  EXPECT_EQ(Raised(Envelope(EncryptedData("", sealed, true, false)), holder.issued.der),
            not_found + "soap:Body/xenc:EncryptedData/xenc:CipherData/xenc:CipherValue");
  EXPECT_EQ(Raised(EncryptedData("", sealed, true, false), holder.issued.der),
            not_found + "xenc:CipherData/xenc:CipherValue");
  EXPECT_EQ(Raised("no XML at all", holder.issued.der), not_found + kBareKeyPath);
}

TEST_F(FundResponseTest, DamagedResponsesFailWithoutAResult) {
  const test::Party holder = Person("holder");
  const test::Party other = Person("other");
  const Sealed sealed = OpensslSeals(holder, kPayloads[2]);
  // Key transport cut short: the fields shrink and the provider refuses them.
  for (size_t length : {170, 100, 40, 0}) {
    const Sealed cut{sealed.key_transport.substr(0, length), sealed.data};
    EXPECT_EQ(Raised(EncryptedData("", cut), holder.issued.der), Win32Error(NTE_BAD_DATA)) << length;
  }
  // Less than one block after the vector.
  const std::string too_short = "Exception " + AnsiFromUtf8("Длина зашифрованных данных меньше 8 байт");
  for (size_t length : {0, 8, 15})
    EXPECT_EQ(Raised(EncryptedData("", {sealed.key_transport, sealed.data.substr(0, length)}), holder.issued.der),
              too_short);
  // A last piece that is not a whole block fails instead of being dropped.
  const Sealed ragged{sealed.key_transport, sealed.data + "\x01"};
  EXPECT_EQ(Raised(EncryptedData("", ragged), holder.issued.der), Win32Error(NTE_BAD_DATA));
  // Encrypted to someone else: the content key does not unwrap.
  EXPECT_EQ(Raised(EncryptedData("", sealed), other.issued.der), Win32Error(NTE_BAD_DATA));
}

TEST_F(FundResponseTest, CertificateOutsideThePersonalStoreIsRefusedFirst) {
  const test::Party outsider = Person("outsider", GostKeyKind::k2012_256, /*in_store=*/false);
  const std::string response = EncryptedData("", PlatformSeals(outsider, kPayloads[0]));
  const std::string refused = "Exception " + AnsiFromUtf8("Не удается получить контекст сертификата !");
  EXPECT_EQ(Raised(response, outsider.issued.der), refused);
  EXPECT_EQ(Raised(response, "not a certificate"), refused);
}

TEST(FundRequests, AreAbortedWithoutOutput) {
  for (auto operation : {SignXmlDocument, SignFundRequest}) {
    try {
      operation("<request/>", "certificate");
      ADD_FAILURE() << "no exception";
    } catch (const EAbort& e) {
      EXPECT_EQ(e.what(), AnsiFromUtf8("Операция прервана"));
      EXPECT_STREQ(e.ClassName(), "EAbort");
    }
  }
}

}  // namespace
}  // namespace zuntar
