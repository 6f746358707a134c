// Drives the key commands with random input, as a page on this machine
// sends them (no Origin header): GETSIGN_SYNC, GETSIGN_ATT_SYNC,
// SIGN_HASH_SYNC, DECRYPT_SYNC, the three fund responses (_SYNC),
// CHECKCERTANDCLUE (body and name) and GETCERTBODY. The requests go
// through the plugin's dispatch (THttpAccess::HTTPServerCommandGet) with
// every command registered as Start registers them, and reach real keys:
// the certificates of the test PKI, each with its key in a container.
//
// Input: byte 0 picks the command, byte 1 the certificate the query names
// and how it names it, byte 2 the shape of the body; the rest is the
// payload. The names are symbolic (the test PKI's own serial numbers and
// thumbprints are filled in), so an input means the same with any test
// PKI. Bodies are Base64 of the payload as pages send them, the payload
// as it is, a fund response built around the payload (its key transport
// and its encrypted data), or a PEM certificate.
//
// The platform tree is ZUNTAR_PLATFORM_ROOT when it holds a test PKI
// (scripts/fuzz.sh makes one per build tree, and the seeds that go with
// its keys); otherwise the target makes a private one for the process with
// the certificate tool of its build, and removes it at exit.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "certs/provider_detection.h"
#include "core/base64.h"
#include "core/process_values.h"
#include "core/settings.h"
#include "crypto/cert_identity.h"
#include "host/headless_control.h"
#include "host/start_checks.h"
#include "http/http_access.h"
#include "platform/capi/gost/gost_key_material.h"
#include "platform/file_io.h"

namespace zuntar {
namespace {

// The body is in the request already, as the connection would have read it.
class BodyInHand : public RequestBody {
 public:
  bool Read(HttpRequest&) override { return true; }
};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

struct Command {
  const char* method;
  const char* path;
};

constexpr Command kCommands[] = {
    {"POST", "/MERVO/GETSIGN_SYNC"},
    {"POST", "/MERVO/GETSIGN_ATT_SYNC"},
    {"POST", "/MERVO/SIGN_HASH_SYNC"},
    {"POST", "/MERVO/DECRYPT_SYNC"},
    {"POST", "/MERVO/DECRYPT_SEDO_RESPONSE_SYNC"},
    {"POST", "/MERVO/DECRYPT_FSS_RESPONSE_SYNC"},
    {"POST", "/MERVO/DECRYPT_POVED_RESPONSE_SYNC"},
    {"POST", "/MERVO/CHECKCERTANDCLUE"},
    {"GET", "/MERVO/CHECKCERTANDCLUE"},
    {"GET", "/MERVO/GETCERTBODY"},
};
constexpr size_t kSignHash = 2;

// The test PKI's certificates the queries name (make-test-pki): keys of
// the three kinds, one not linked to its key, one whose key is only on
// removable media (not in the personal store), and one expired.
constexpr const char* kPeople[] = {"ivanov", "petrov", "sidorov", "nolink", "media", "expired"};

struct Person {
  Bytes der;
  std::string serial, thumbprint;
  ossl::PKeyPtr key;
};

bool HasTestPki(const std::string& root) { return std::filesystem::exists(root + "/files/ivanov.cer"); }

// A private tree for this process: the provider of this build registered
// and the test PKI made by the certificate tool of this build.
std::string MakePrivateTree() {
  std::string folder = TempDirectory() + "zuntar-fuzz-commands-XXXXXX";
  Check(::mkdtemp(folder.data()) != nullptr);
  const std::string env = "ZUNTAR_PLATFORM_ROOT='" + folder + "' ";
  const std::string tool = "'" ZUNTAR_FUZZ_CERTTOOL "' ";
  Check(std::system((env + tool + "register-provider --module '" ZUNTAR_FUZZ_CSP_MODULE "' >/dev/null").c_str()) == 0);
  Check(std::system((env + tool + "make-test-pki --out '" + folder + "/files' >/dev/null").c_str()) == 0);
  return folder;
}

std::string& PrivateTree() {
  static std::string* tree = new std::string;
  return *tree;
}

void RemovePrivateTree() {
  std::error_code ec;
  if (!PrivateTree().empty()) std::filesystem::remove_all(PrivateTree(), ec);
}

struct Plugin {
  std::vector<Person> people;
  PluginContext plugin;
  std::unique_ptr<THttpAccess> access;
  THTTPAccessThread worker{plugin.settings};
  size_t requests = 0;

  Plugin() {
    const char* given = std::getenv("ZUNTAR_PLATFORM_ROOT");
    std::string root = given != nullptr ? given : "";
    if (root.empty() || !HasTestPki(root)) {
      root = PrivateTree() = MakePrivateTree();
      std::atexit(RemovePrivateTree);
      ::setenv("ZUNTAR_PLATFORM_ROOT", root.c_str(), 1);
    }
    for (const char* name : kPeople) {
      Person p;
      p.der = ReadFileToString(root + "/files/" + name + ".cer");
      const PCCERT_CONTEXT cert = DecodeCertificate(p.der);
      Check(cert != nullptr);
      p.serial = CertSerialHex(cert);
      p.thumbprint = CertThumbprintHex(cert);
      p.key = PublicKeyFromInfo(cert->Info().SubjectPublicKeyInfo);
      people.push_back(std::move(p));
    }
    const std::string exe_dir = root + "/exe/";
    std::filesystem::create_directories(exe_dir);
    StartupValues v = BasicStartupValues(exe_dir);
    v.IsCP1251 = false;  // no database: _SYNC tasks run on the calling thread
    v.PluginVersion = "1.0.0.1";
    SetStartupValues(v);
    Settings s = DefaultSettings(exe_dir);
    s.HTTPPORT = 0;
    s.LOG_LEVEL = 0;
    plugin.settings.Set(s);
    plugin.providers.Set(CheckCryptoProvider(plugin.certificate_manager));
    Check(CSPStatus().empty());
    CreateStartCertificateManager(plugin.certificate_manager, plugin.providers.Get());
    access = std::make_unique<THttpAccess>(plugin, PluginCommands(), OriginConsentFile(), /*listen=*/false);
  }

  // Refused key-media questions are logged; the log stays small.
  void TrimLog() {
    std::error_code ec;
    if (++requests % 1024 == 0) std::filesystem::resize_file(LogFileName(), 0, ec);
  }
};

Plugin& ThePlugin() {
  static Plugin* plugin = new Plugin;  // lives as long as the process
  return *plugin;
}

// The reader of an input: bytes from the front, and what is left.
struct Input {
  const uint8_t* data;
  size_t size;

  uint8_t Byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  std::string Take(size_t n) {
    n = std::min(n, size);
    std::string out(reinterpret_cast<const char*>(data), n);
    data += n;
    size -= n;
    return out;
  }
  std::string Rest() { return Take(size); }
};

// The query: byte `who` names a person (or none, an unknown serial number,
// a list, or raw text from the input), `how` the parameter and its form.
std::string Query(const Plugin& plugin, uint8_t selector, Input& in, const Person** named) {
  const unsigned who = selector % 16;
  const unsigned how = (selector >> 4) % 4;
  *named = nullptr;
  if (who < std::size(kPeople)) {
    const Person& p = plugin.people[who];
    *named = &p;
    switch (how) {
      case 0: return "CertSN=" + p.serial;
      case 1: return "CertThumb=" + p.thumbprint;
      case 2: {  // lower case, bytes apart, as people copy serial numbers
        std::string grouped;
        for (size_t i = 0; i < p.serial.size(); ++i) {
          if (i > 0 && i % 2 == 0) grouped += ':';
          grouped += static_cast<char>(std::tolower(static_cast<unsigned char>(p.serial[i])));
        }
        return "CertSN=" + grouped;
      }
      default: return "CertSN=&CertThumb=" + p.thumbprint;
    }
  }
  switch (who) {
    case 6: return "";
    case 7: return how % 2 == 0 ? "CertSN=00DEADBEEF" : "CertThumb=00112233445566778899AABBCCDDEEFF00112233";
    case 8: return std::string(how % 2 == 0 ? "CertSN=" : "CertThumb=") + "00;" +
                   (how % 2 == 0 ? plugin.people[1].serial + ";" + plugin.people[0].serial
                                 : plugin.people[1].thumbprint + ";" + plugin.people[0].thumbprint);
    default: return in.Take(in.Byte() % 96);
  }
}

std::string WrappedBase64(const std::string& bytes, bool lines) {
  std::string text = Base64Encode(bytes);
  if (!lines) return text;
  std::string out;
  for (size_t at = 0; at < text.size(); at += 76) out.append(text, at, 76).append("\r\n");
  return out;
}

// A fund response around the payload: two bytes give the length of the
// key transport, the rest is the encrypted data (vector and ciphertext).
std::string FundResponse(Input& in, bool envelope, bool lines) {
  const size_t high = in.Byte();
  const size_t key_length = (high << 8 | in.Byte()) % 1024;
  const std::string key = WrappedBase64(in.Take(key_length), lines);
  const std::string data = WrappedBase64(in.Rest(), lines);
  const std::string encrypted =
      "<xenc:EncryptedData xmlns:xenc=\"http://www.w3.org/2001/04/xmlenc#\">"
      "<ds:KeyInfo xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><xenc:EncryptedKey><xenc:CipherData>"
      "<xenc:CipherValue>" +
      key +
      "</xenc:CipherValue></xenc:CipherData></xenc:EncryptedKey></ds:KeyInfo>"
      "<xenc:CipherData><xenc:CipherValue>" +
      data + "</xenc:CipherValue></xenc:CipherData></xenc:EncryptedData>";
  if (!envelope) return encrypted;
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
         "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>" +
         encrypted + "</soapenv:Body></soapenv:Envelope>";
}

// Body shapes: 0 Base64 of the payload, 1 the payload as it is, 2 a fund
// response (Base64 of its XML), 3 a PEM certificate of the payload.
std::string Body(uint8_t shape, Input& in) {
  switch (shape % 4) {
    case 0: return Base64Encode(in.Rest());
    case 1: return in.Rest();
    case 2: return Base64Encode(FundResponse(in, (shape & 4) != 0, (shape & 8) != 0));
    default: return "-----BEGIN CERTIFICATE-----\n" + WrappedBase64(in.Rest(), true) + "-----END CERTIFICATE-----\n";
  }
}

const std::string kEnvelopeStart = "{\r\n\"Status\": ";
const std::string kSuccessStart = kEnvelopeStart + "true,\r\n\"Data\": \"";

// What every answer of these commands is: a reply envelope, the bare text
// of a task that gave no result, or the error text of a failed request.
// The body as the connection sends it: the part in hand, then what its
// source makes. False when the source fails (the connection would close
// with the reply short).
bool DrainBody(HttpResponse& response) {
  if (!response.body_source) return true;
  try {
    std::string piece;
    while (response.body_source->Next(piece)) response.body += piece;
  } catch (const std::exception&) {
    return false;
  }
  response.body_source.reset();
  return true;
}

void CheckReply(const HttpResponse& response) {
  Check(response.status >= 200 && response.status <= 599);
  const std::string& body = response.body;
  if (response.status == 500 && body.empty()) return;  // a GET command's failure: the reason says why
  Check(body.starts_with(kEnvelopeStart) || body.starts_with("#Error#") ||
        body == "Ошибка выполнения криптозадачи");
}

// A hash signed on request is signed by the key the request named, and
// only when it is that key's own hash: then the signature checks.
void CheckHashSignature(const HttpResponse& response, const Person* named, const std::string& hash) {
  if (!response.body.starts_with(kSuccessStart)) return;
  Check(named != nullptr && named->key != nullptr);
  const size_t start = kSuccessStart.size();
  const std::string signature = Base64Decode(response.body.substr(start, response.body.find('"', start) - start));
  Check(hash.size() == 32 || hash.size() == 64);
  Check(VerifyDigest(named->key.get(), hash, signature));
}

}  // namespace
}  // namespace zuntar

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zuntar;
  if (size < 3) return 0;
  Plugin& plugin = ThePlugin();
  Input in{data, size};
  const size_t which = in.Byte() % std::size(kCommands);
  const Command& command = kCommands[which];
  const uint8_t selector = in.Byte();
  const uint8_t shape = in.Byte();
  HttpRequest request;
  request.method = command.method;
  request.path = command.path;
  request.peer_ip = request.local_ip = "127.0.0.1";
  const Person* named = nullptr;
  request.query = Query(plugin, selector, in, &named);
  // The hash a SIGN_HASH body carries when it is plain Base64 of the payload.
  const bool plain_hash = which == kSignHash && shape % 4 == 0 && (selector % 16) < std::size(kPeople);
  const std::string hash(reinterpret_cast<const char*>(in.data), in.size);
  request.body = Body(shape, in);
  HttpResponse response;
  BodyInHand body;
  plugin.access->HTTPServerCommandGet(plugin.worker, request, response, body);
  if (!DrainBody(response)) return 0;
  // ZUNTAR_FUZZ_SHOW=1 prints each exchange, to see how far a replayed
  // input goes.
  static const bool show = std::getenv("ZUNTAR_FUZZ_SHOW") != nullptr;
  if (show) std::fprintf(stderr, "%s %s?%s -> %d %.300s\n", request.method.c_str(), request.path.c_str(),
                         request.query.c_str(), response.status, response.body.c_str());
  CheckReply(response);
  if (plain_hash) CheckHashSignature(response, named, hash);
  plugin.TrimLog();
  return 0;
}
