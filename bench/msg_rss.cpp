// Peak memory of the streamed message forms on a large input:
//   bench_msg_rss [MIB]   (default 1024)
// Each phase runs in a child process of its own and reports that child's
// peak resident set: signing (attached, to a file, and detached), checking
// the detached signature against the data stream, checking the attached
// file, and decrypting an indefinite-length enveloped file. The data is
// generated, written once to a temporary folder and read back in chunks.
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "platform/capi/api/provider_registration.h"
#include "platform/capi/cert/cert_builder.h"
#include "platform/capi/csp/container_import.h"
#include "platform/capi/csp/gost_module.h"
#include "platform/capi/msg/crypt_msg.h"
#include "platform/capi/msg/crypt_msg_simple.h"

namespace zuntar {
namespace {

constexpr size_t kChunk = 16384;
std::string g_dir;
PCCERT_CONTEXT g_cert;

std::string PathOf(const char* name) { return g_dir + "/" + name; }

void Setup() {
  setenv("ZUNTAR_PLATFORM_ROOT", g_dir.c_str(), 1);
  RegisterGostProvider(ZUNTAR_BENCH_CSP_MODULE);
  ossl::PKeyPtr key = GenerateGostKey(GostKeyKind::k2012_256);
  CertRequest r;
  r.subject = {{"2.5.4.3", "Streaming"}};
  r.not_before = std::time(nullptr) - 3600;
  r.not_after = std::time(nullptr) + 86400;
  r.key_usage = 0xF0;
  const Bytes der = BuildCertificate(r, key.get(), {}, key.get());
  ImportKeyContainer("\\\\.\\REGISTRY\\rss", key.get(), der, {}, AT_KEYEXCHANGE);
  g_cert = CertCreateCertificateContext(X509_ASN_ENCODING, der);
  const std::string prov = csp::DefaultProviderName(PROV_GOST_2012_256);
  CRYPT_KEY_PROV_INFO info{u"\\\\.\\REGISTRY\\rss", std::u16string(prov.begin(), prov.end()), PROV_GOST_2012_256, 0,
                           AT_KEYEXCHANGE};
  CertSetCertificateContextProperty(g_cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
}

// Feeds a file in 16384-byte chunks, the short one final.
bool FeedFile(const HCRYPTMSG& msg, const std::string& path, const std::function<void()>& after_each = {}) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  Bytes buffer(kChunk, '\0');
  bool ok = true;
  while (ok) {
    const size_t n = std::fread(buffer.data(), 1, kChunk, f);
    ok = CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(buffer.data()), static_cast<DWORD>(n), n < kChunk);
    if (ok && after_each) after_each();
    if (n < kChunk) break;
  }
  std::fclose(f);
  return ok;
}

PFN_CMSG_STREAM_OUTPUT WriterTo(FILE* f) {
  return [f](const BYTE* p, DWORD n, bool) { return f == nullptr || n == 0 || std::fwrite(p, 1, n, f) == n; };
}

bool Sign(bool detached) {
  CMSG_SIGNER_ENCODE_INFO signer;
  if (!SignerForCertificate(g_cert, "1.2.643.7.1.1.3.2", &signer)) return false;
  CMSG_SIGNED_ENCODE_INFO info;
  info.rgSigners = {signer};
  info.rgCertEncoded = {g_cert->Encoded()};
  FILE* out = std::fopen(PathOf(detached ? "data.p7s" : "attached.p7s").c_str(), "wb");
  CMSG_STREAM_INFO stream;
  stream.cbContent = static_cast<DWORD>(std::filesystem::file_size(PathOf("data")));
  stream.pfnStreamOutput = WriterTo(out);
  HCRYPTMSG msg = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, detached ? CMSG_DETACHED_FLAG : 0,
                                       CMSG_SIGNED, info, nullptr, &stream);
  const bool ok = msg != nullptr && FeedFile(msg, PathOf("data"));
  std::fclose(out);
  return ok;
}

bool Verify(bool detached) {
  CMSG_STREAM_INFO stream;
  stream.pfnStreamOutput = WriterTo(nullptr);
  HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, detached ? CMSG_DETACHED_FLAG : 0, 0,
                                       0, nullptr, &stream);
  if (!FeedFile(msg, PathOf(detached ? "data.p7s" : "attached.p7s"))) return false;
  if (detached && !FeedFile(msg, PathOf("data"))) return false;
  return CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE, &g_cert->Info());
}

bool Encrypt() {
  // OpenSSL's own streaming encryption makes the indefinite-length input.
  const EVP_CIPHER* cipher = ossl::CipherByName("gost89");
  ossl::BioPtr in(BIO_new_file(PathOf("data").c_str(), "rb"));
  const unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_STREAM;
  ossl::CmsPtr cms(CMS_encrypt(nullptr, in.get(), cipher, flags));
  CMS_RecipientInfo* ri = CMS_add1_recipient_cert(cms.get(), g_cert->Certificate(), flags | CMS_KEY_PARAM);
  EVP_PKEY_CTX_ctrl(CMS_RecipientInfo_get0_pkey_ctx(ri), -1, -1, EVP_PKEY_CTRL_CIPHER, EVP_CIPHER_get_nid(cipher),
                    nullptr);
  ossl::BioPtr out(BIO_new_file(PathOf("data.p7m").c_str(), "wb"));
  return i2d_CMS_bio_stream(out.get(), cms.get(), in.get(), flags) == 1;
}

bool Decrypt() {
  CMSG_CTRL_DECRYPT_PARA para;
  bool caller_free = false;
  if (!CryptAcquireCertificatePrivateKey(g_cert, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &para.hCryptProv,
                                         &para.dwKeySpec, &caller_free))
    return false;
  uint64_t plain = 0;
  CMSG_STREAM_INFO stream;
  stream.pfnStreamOutput = [&](const BYTE*, DWORD n, bool) {
    plain += n;
    return true;
  };
  HCRYPTMSG msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, &stream);
  bool started = false;
  const bool fed = FeedFile(msg, PathOf("data.p7m"), [&] {
    CRYPT_ALGORITHM_IDENTIFIER alg;
    if (!started && CryptMsgGetParam(msg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, &alg))
      started = CryptMsgControl(msg, 0, CMSG_CTRL_DECRYPT, para);
  });
  return fed && started && plain == std::filesystem::file_size(PathOf("data"));
}

bool WriteData(uint64_t size) {
  FILE* f = std::fopen(PathOf("data").c_str(), "wb");
  Bytes chunk(1 << 20, '\0');
  for (uint64_t written = 0, state = 88172645463325252ull; written < size; written += chunk.size()) {
    for (char& c : chunk) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      c = static_cast<char>(state);
    }
    std::fwrite(chunk.data(), 1, static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - written)), f);
  }
  return std::fclose(f) == 0;
}

// Runs a phase in a child; prints its time and peak memory.
bool Phase(const char* name, const std::function<bool()>& body) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) _exit(body() ? 0 : 1);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("%-22s %s  %7.1f s  peak RSS %6.1f MiB\n", name, ok ? "ok    " : "FAILED", seconds,
              static_cast<double>(usage.ru_maxrss) / 1024.0);
  std::fflush(stdout);
  return ok;
}

}  // namespace
}  // namespace zuntar

int main(int argc, char** argv) {
  using namespace zuntar;
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  g_dir = (std::filesystem::temp_directory_path() / ("zuntar-msg-rss-" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(g_dir);
  Setup();
  std::printf("input: %llu MiB\n", static_cast<unsigned long long>(mib));
  bool ok = WriteData(mib << 20);
  ok = Phase("sign attached", [] { return Sign(false); }) && ok;
  ok = Phase("sign detached", [] { return Sign(true); }) && ok;
  ok = Phase("verify detached", [] { return Verify(true); }) && ok;
  ok = Phase("verify attached", [] { return Verify(false); }) && ok;
  ok = Phase("encrypt (openssl)", [] { return Encrypt(); }) && ok;
  ok = Phase("decrypt", [] { return Decrypt(); }) && ok;
  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
  // Released before OpenSSL's own clean-up at exit.
  g_cert.reset();
  return ok ? 0 : 1;
}
