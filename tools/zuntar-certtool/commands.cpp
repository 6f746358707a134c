#include <openssl/pem.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "certtool.h"
#include "platform/capi/api/crypt_api.h"
#include "platform/capi/api/provider_registration.h"
#include "platform/capi/base/error_codes.h"
#include "platform/capi/base/wide_text.h"
#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/cert/cert_name.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/capi/cert/store_files.h"
#include "platform/capi/csp/container_import.h"
#include "platform/capi/csp/pfx_reader.h"
#include "platform/platform_root.h"
#include "platform/user_account.h"

namespace zuntar::certtool {
namespace {

bool WantsHelp(const Options& o, const char* usage) {
  if (!o.Has("--help")) return false;
  std::cout << usage;
  return true;
}

HCERTSTORE OpenStore(const Options& o, bool read_only) {
  const DWORD location = o.Has("--machine") ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   location | (read_only ? CERT_STORE_READONLY_FLAG : 0), o.Get("--store", "MY"));
  if (store == nullptr) throw ToolError("cannot open store " + o.Get("--store", "MY") + ": " + SysErrorMessage(GetLastError()));
  return store;
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

DWORD KeySpec(const Options& o) {
  const std::string key_spec = o.Get("--key-spec", "1");
  if (key_spec != "1" && key_spec != "2") throw ToolError("--key-spec must be 1 (exchange) or 2 (signature)");
  return key_spec == "1" ? AT_KEYEXCHANGE : AT_SIGNATURE;
}

// Key and certificate from PEM files or a PKCS #12 file.
void ReadKeyAndCertificate(const Options& o, ossl::PKeyPtr* key, Bytes* cert) {
  ossl::EnsureGostEngine();
  if (o.Has("--pfx")) {
    const Bytes der = ReadFileBytes(o.Get("--pfx"));
    PfxContents contents;
    std::string why;
    if (ReadPfx(der, o.Get("--password"), &contents, &why) != PfxFailure::kNone)
      throw ToolError("cannot read " + o.Get("--pfx") + ": " + why);
    *key = std::move(contents.key);
    *cert = std::move(contents.cert);
    return;
  }
  const Bytes pem = ReadFileBytes(o.Require("--key"));
  const ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  const std::string password = o.Get("--password");
  key->reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(password.c_str())));
  if (*key == nullptr) throw ToolError("cannot read a private key from " + o.Get("--key"));
  *cert = ReadCertificateFile(o.Require("--cert"))->Encoded();
}

// What import did, one fact a line.
void PrintImport(const ContainerLocation& location, const PCCERT_CONTEXT& cert, bool linked, bool pin) {
  std::cout << "container  " << location.fqcn << " (" << location.folder << ")\n"
            << "thumbprint " << HexUpper(cert->Sha1()) << "\n"
            << "subject    " << NameToUtf8(cert->Info().Subject, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG)
            << "\n"
            << "store      "
            << (linked ? "MY of the user " + ProcessUserName() + " (" + UserDir() + ")"
                       : std::string("none (--no-link; 'zuntar-certtool link' links it later)"))
            << "\n"
            << "PIN        "
            << (pin ? "the key is protected by a PIN"
                    : "none: whoever can read the container's folder can sign with the key")
            << "\n";
}

}  // namespace

int ListCommand(const std::vector<std::string>& args) {
  const Options o(args, {"--store"}, {"--machine"});
  if (WantsHelp(o, "Usage: zuntar-certtool list [--store NAME] [--machine]\n"
                   "One line per certificate of the store (default MY of the current user):\n"
                   "SHA-1 thumbprint, serial number in hex, subject.\n"))
    return 0;
  HCERTSTORE store = OpenStore(o, true);
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c))
    std::cout << ListLine(c) << "\n";
  return 0;
}

int ContainersCommand(const std::vector<std::string>& args) {
  const Options o(args, {}, {});
  if (WantsHelp(o, "Usage: zuntar-certtool containers\n"
                   "The fully qualified names of the key containers the provider reaches now.\n"))
    return 0;
  HCRYPTPROV prov;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
    throw ToolError("no GOST provider: " + SysErrorMessage(GetLastError()) + " (run register-provider)");
  DWORD size = 0;
  if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST | CRYPT_FQCN)) return 0;
  Bytes buffer(size, '\0');
  for (DWORD flags = CRYPT_FIRST | CRYPT_FQCN;; flags = CRYPT_NEXT | CRYPT_FQCN) {
    DWORD len = size;
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buffer.data()), &len, flags)) break;
    std::cout << Utf8FromAnsiText(buffer.substr(0, buffer.find('\0'))) << "\n";
  }
  return 0;
}

int InstallCommand(const std::vector<std::string>& args) {
  const Options o(args, {"--store"}, {"--machine"});
  if (WantsHelp(o, "Usage: zuntar-certtool install FILE [--store NAME] [--machine]\n"
                   "Puts the certificate (DER or PEM) into the store (default MY of the current user).\n"))
    return 0;
  if (o.positional().size() != 1) throw ToolError("give one certificate file (see --help)");
  PCCERT_CONTEXT cert = ReadCertificateFile(o.positional()[0]);
  HCERTSTORE store = OpenStore(o, false);
  if (!CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES, nullptr))
    throw ToolError("cannot add the certificate: " + SysErrorMessage(GetLastError()));
  std::cout << ListLine(cert) << "\n";
  return 0;
}

int ImportCommand(const std::vector<std::string>& args) {
  const Options o(args, {"--container", "--key", "--cert", "--pfx", "--password", "--pin", "--key-spec"}, {"--no-link"});
  if (WantsHelp(o, "Usage: zuntar-certtool import --container NAME\n"
                   "         (--key KEY.pem --cert CERT | --pfx FILE.p12) [--password PW]\n"
                   "         [--pin PIN] [--key-spec 1|2] [--no-link]\n"
                   "Creates the container (\\\\.\\REGISTRY\\<name>, \\\\.\\FAT12_<letter>\\<path> or a bare\n"
                   "name for the registry reader) holding the key and its certificate, protected\n"
                   "by the PIN when one is given, and links the certificate to it in the current\n"
                   "user's MY store unless --no-link is given. Prints the container, the\n"
                   "certificate's thumbprint and subject, the store and whether a PIN protects\n"
                   "the key.\n"))
    return 0;
  const std::string container = o.Require("--container");
  ossl::PKeyPtr key;
  Bytes cert;
  ReadKeyAndCertificate(o, &key, &cert);
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, cert);
  if (ctx == nullptr) throw ToolError("the certificate does not decode");
  const DWORD key_spec = KeySpec(o);
  std::string why;
  const auto location = ImportKeyContainer(container, key.get(), cert, o.Get("--pin"), key_spec, &why);
  if (!location) throw ToolError("cannot create container " + container + ": " + why);
  const bool link = !o.Has("--no-link");
  if (link) {
    try {
      LinkCertificate(ctx, location->fqcn, key_spec);
    } catch (const ToolError& e) {
      throw ToolError(std::string(e.what()) + " (the key is in container " + location->fqcn + ", " +
                      location->folder + ")");
    }
  }
  PrintImport(*location, ctx, link, !o.Get("--pin").empty());
  return 0;
}

int DeleteCommand(const std::vector<std::string>& args) {
  const Options o(args, {"--container"}, {});
  if (WantsHelp(o, "Usage: zuntar-certtool delete --container NAME\n"
                   "Deletes the key container with its keys (certificates linked to it stay in\n"
                   "their stores).\n"))
    return 0;
  const std::string container = o.Require("--container");
  const auto found = FindContainer(container);
  if (!found) throw ToolError("no container " + container);
  HCRYPTPROV prov;
  if (!CryptAcquireContextW(&prov, Utf16FromUtf8(found->fqcn).c_str(), nullptr, PROV_GOST_2012_256,
                            CRYPT_DELETEKEYSET))
    throw ToolError("cannot delete " + found->fqcn + " (" + found->folder + "): " + SysErrorMessage(GetLastError()));
  std::cout << "deleted " << found->fqcn << " (" << found->folder << ")\n";
  return 0;
}

int LinkCommand(const std::vector<std::string>& args) {
  const Options o(args, {"--container", "--cert", "--thumbprint", "--key-spec"}, {});
  if (WantsHelp(o, "Usage: zuntar-certtool link --container NAME (--cert FILE | --thumbprint HEX) [--key-spec 1|2]\n"
                   "Links the certificate to the key container and puts it into the current\n"
                   "user's MY store; with --thumbprint the certificate must be there already.\n"))
    return 0;
  const std::string container = o.Require("--container");
  PCCERT_CONTEXT cert;
  if (o.Has("--cert")) {
    cert = ReadCertificateFile(o.Get("--cert"));
  } else {
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    Bytes hash;
    const std::string hex = o.Require("--thumbprint");
    for (size_t i = 0; i + 1 < hex.size(); i += 2) hash += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    cert = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, hash, nullptr);
    if (cert == nullptr) throw ToolError("no certificate with thumbprint " + hex + " in MY");
  }
  HCRYPTPROV prov;
  const auto provider = ProviderForCertificate(cert);
  if (!CryptAcquireContextA(&prov, container.c_str(), nullptr, provider.second, CRYPT_SILENT))
    throw ToolError("cannot open container " + container + ": " + SysErrorMessage(GetLastError()));
  LinkCertificate(cert, container, KeySpec(o));
  std::cout << ListLine(cert) << "\n";
  return 0;
}

int RegisterProviderCommand(const std::vector<std::string>& args) {
  const Options o(args, {"--module"}, {});
  if (WantsHelp(o, "Usage: zuntar-certtool register-provider [--module PATH]\n"
                   "Registers the GOST provider module under the CryptoPro provider names of\n"
                   "types 75, 80 and 81, and the registry key reader, in the registry file.\n"))
    return 0;
  const std::string module = o.Get("--module", DefaultModulePath());
  std::ifstream probe(module);
  if (!probe) throw ToolError("no provider module at " + module);
  RegisterGostProvider(module);
  std::cout << "registered " << module << " in " << RegistryFile() << "\n";
  return 0;
}

}  // namespace zuntar::certtool
