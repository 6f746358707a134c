// make-test-pki: a test certification authority and user certificates with
// GOST keys in containers, written into the current platform tree.
#include <openssl/pem.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "certtool.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/capi/csp/container_import.h"
#include "platform/platform_root.h"

namespace zuntar::certtool {
namespace {

constexpr int64_t kDay = 86400;

struct TestUser {
  const char* id;
  GostKeyKind kind;
  const char* surname;
  const char* given;
  bool with_inn;
  bool legal_entity;    // INNLE and OGRN of an organisation
  bool entrepreneur;    // OGRNIP
  int64_t not_before;   // relative to now
  int64_t not_after;
  bool linked;
  bool on_media;
};

const TestUser kUsers[] = {
    {"ivanov", GostKeyKind::k2012_256, "Иванов", "Иван Иванович", true, true, false, -kDay, 365 * kDay, true, false},
    {"petrov", GostKeyKind::k2012_512, "Петров", "Пётр Петрович", true, false, true, -kDay, 365 * kDay, true, false},
    {"sidorov", GostKeyKind::k2001, "Сидоров", "Сидор Сидорович", true, true, false, -kDay, 365 * kDay, true, false},
    {"expired", GostKeyKind::k2012_256, "Просроченный", "Павел Павлович", true, true, false, -400 * kDay, -30 * kDay,
     true, false},
    {"notyet", GostKeyKind::k2012_256, "Будущий", "Борис Борисович", true, true, false, 30 * kDay, 400 * kDay, true,
     false},
    {"noinn", GostKeyKind::k2012_256, "Безинн", "Нина Ниловна", false, false, false, -kDay, 365 * kDay, true, false},
    {"nolink", GostKeyKind::k2012_256, "Несвязанный", "Олег Олегович", true, true, false, -kDay, 365 * kDay, false,
     false},
    {"media", GostKeyKind::k2012_256, "Съёмный", "Фёдор Фёдорович", true, true, false, -kDay, 365 * kDay, false, true},
};

CertRequest UserRequest(const TestUser& u, int64_t now) {
  CertRequest r;
  r.subject = {{"2.5.4.6", "RU"}, {"2.5.4.8", "77 г. Москва"}, {"2.5.4.7", "Москва"}};
  if (u.legal_entity) r.subject.push_back({"2.5.4.10", "ООО \"Ромашка, Лютик и партнёры\""});
  r.subject.push_back({"2.5.4.12", "Генеральный директор"});
  r.subject.push_back({"2.5.4.4", u.surname});
  r.subject.push_back({"2.5.4.42", u.given});
  r.subject.push_back({"1.2.840.113549.1.9.1", std::string(u.id) + "@example.ru"});
  if (u.with_inn) r.subject.push_back({"1.2.643.3.131.1.1", "007701234567"});
  if (u.with_inn && u.legal_entity) r.subject.push_back({"1.2.643.100.4", "7701234567"});
  if (u.legal_entity) r.subject.push_back({"1.2.643.100.1", "1027700132195"});
  if (u.entrepreneur) r.subject.push_back({"1.2.643.100.5", "304770000123456"});
  r.subject.push_back({"1.2.643.100.3", "12345678901"});
  r.subject.push_back({"2.5.4.9", "ул. Тверская, д. 1"});
  r.subject.push_back({"2.5.4.3", std::string(u.surname) + " " + u.given});
  r.not_before = now + u.not_before;
  r.not_after = now + u.not_after;
  r.key_usage = CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_NON_REPUDIATION_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE |
                CERT_DATA_ENCIPHERMENT_KEY_USAGE | CERT_KEY_AGREEMENT_KEY_USAGE;
  r.extended_key_usage = {"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4", "1.2.643.2.2.34.6"};
  r.policies = {"1.2.643.100.113.1", "1.2.643.100.113.2"};
  r.private_key_usage_period = {{r.not_before, r.not_before + 365 * kDay}};
  if (u.legal_entity) r.subject_alt_other_names = {{"2.5.4.10", "ООО Ромашка"}, {"2.5.4.4", u.surname}};
  // Serial numbers with the top bit set: their DER carries a leading zero.
  r.serial = std::string(1, '\x80') + std::string(u.id) + std::string(20 - 1 - std::string(u.id).size(), '\x5A');
  return r;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw ToolError("cannot write " + path);
}

void WriteKeyPem(const std::string& path, EVP_PKEY* key) {
  const ossl::BioPtr bio(BIO_new_file(path.c_str(), "w"));
  const bool ok =
      bio != nullptr && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (!ok) throw ToolError("cannot write " + path);
}

void AddToStore(DWORD location, const char* name, const Bytes& der) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0, location, name);
  if (store == nullptr ||
      !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
    throw ToolError(std::string("cannot add to store ") + name + ": " + SysErrorMessage(GetLastError()));
}

}  // namespace

int MakeTestPkiCommand(const std::vector<std::string>& args) {
  const Options o(args, {"--out", "--pin"}, {});
  if (o.Has("--help")) {
    std::cout << "Usage: zuntar-certtool make-test-pki [--out DIR] [--pin PIN]\n"
                 "Creates a test CA (GOST R 34.10-2012 256) in the ROOT stores and user\n"
                 "certificates with the Russian subject attributes, each with its key in a\n"
                 "registry container \\\\.\\REGISTRY\\zuntar-test-<id> linked from MY:\n"
                 "  ivanov (2012-256), petrov (2012-512, OGRNIP), sidorov (2001 key),\n"
                 "  expired, notyet (not yet valid), noinn (without INN),\n"
                 "  nolink (in a container, not in MY), media (on removable media only).\n"
                 "--pin protects the keys; --out also writes ca.cer, <id>.cer, <id>.key.pem.\n";
    return 0;
  }
  const std::string out = o.Get("--out");
  if (!out.empty()) std::filesystem::create_directories(out);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));

  ossl::PKeyPtr ca_key = GenerateGostKey(GostKeyKind::k2012_256);
  CertRequest ca;
  ca.subject = {{"2.5.4.6", "RU"},
                {"2.5.4.7", "Москва"},
                {"2.5.4.10", "Тестовый УЦ ЗУНТАР"},
                {"1.2.643.3.131.1.1", "007700000001"},
                {"1.2.643.100.1", "1000000000001"},
                {"2.5.4.3", "Тестовый УЦ ЗУНТАР"}};
  ca.not_before = now - 2 * 365 * kDay;
  ca.not_after = now + 10 * 365 * kDay;
  ca.is_ca = true;
  ca.key_usage = CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_CERT_SIGN_KEY_USAGE | CERT_CRL_SIGN_KEY_USAGE;
  const Bytes ca_der = ca_key ? BuildCertificate(ca, ca_key.get(), {}, ca_key.get()) : Bytes();
  if (ca_der.empty()) throw ToolError("cannot make the CA certificate (is the gost engine installed?)");
  AddToStore(CERT_SYSTEM_STORE_CURRENT_USER, "ROOT", ca_der);
  AddToStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT", ca_der);
  if (!out.empty()) {
    WriteFile(out + "/ca.cer", ca_der);
    WriteKeyPem(out + "/ca.key.pem", ca_key.get());
  }
  std::cout << "ca " << ListLine(CertCreateCertificateContext(X509_ASN_ENCODING, ca_der)) << "\n";

  for (const TestUser& u : kUsers) {
    ossl::PKeyPtr key = GenerateGostKey(u.kind);
    const Bytes der = key ? BuildCertificate(UserRequest(u, now), key.get(), ca_der, ca_key.get()) : Bytes();
    if (der.empty()) throw ToolError(std::string("cannot make the certificate of ") + u.id);
    std::string container = std::string("\\\\.\\REGISTRY\\zuntar-test-") + u.id;
    if (u.on_media) {
      const std::string volume = MediaRoots().front() + "/ZUNTAR-KEY";
      std::filesystem::create_directories(volume);
      container = std::string("\\\\.\\FAT12_A\\zuntar-test-") + u.id + ".000";
    }
    if (auto old = FindContainer(container)) DeleteContainer(*old);
    const auto location = ImportKeyContainer(container, key.get(), der, o.Get("--pin"), AT_KEYEXCHANGE);
    if (!location) throw ToolError("cannot create container " + container);
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der);
    if (u.linked) LinkCertificate(cert, location->fqcn, AT_KEYEXCHANGE);
    if (!out.empty()) {
      WriteFile(out + "/" + u.id + ".cer", der);
      WriteKeyPem(out + "/" + u.id + ".key.pem", key.get());
    }
    std::cout << u.id << " " << ListLine(cert) << " | " << location->fqcn << "\n";
  }
  return 0;
}

}  // namespace zuntar::certtool
