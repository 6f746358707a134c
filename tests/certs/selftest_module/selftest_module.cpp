// The GOST provider with a self test that fails: a provider registered under
// a name containing "Short" answers a block too short to hold the failure
// word, any other name a full block with the failure word set.
#include <string>

#include "platform/capi/csp/csp_module.h"

namespace {

using zuntar::Bytes;
using zuntar::DWORD;
namespace csp = zuntar::csp;

class FailingSelfTest : public csp::Context {
 public:
  FailingSelfTest(std::unique_ptr<csp::Context> inner, bool short_block)
      : inner_(std::move(inner)), short_block_(short_block) {}

  DWORD GetParam(DWORD param, DWORD flags, Bytes* value, DWORD* size) override {
    if (param != zuntar::PP_SELFTEST) return inner_->GetParam(param, flags, value, size);
    Bytes block(short_block_ ? 16 : zuntar::kSelfTestBlockSize, '\0');
    if (!short_block_) block[zuntar::kSelfTestFailureOffset + 1] = 1;
    *size = static_cast<DWORD>(block.size());
    if (value != nullptr) *value = block;
    return 0;
  }
  DWORD SetParam(DWORD param, const Bytes& value) override { return inner_->SetParam(param, value); }
  DWORD GetUserKey(DWORD key_spec, std::unique_ptr<csp::Key>* key) override { return inner_->GetUserKey(key_spec, key); }
  DWORD GenKey(zuntar::ALG_ID alg, DWORD flags, std::unique_ptr<csp::Key>* key) override {
    return inner_->GenKey(alg, flags, key);
  }
  DWORD ImportKey(const Bytes& blob, csp::Key* pub, DWORD flags, std::unique_ptr<csp::Key>* key) override {
    return inner_->ImportKey(blob, pub, flags, key);
  }
  DWORD ImportPublicKeyInfo(const zuntar::CERT_PUBLIC_KEY_INFO& info, std::unique_ptr<csp::Key>* key) override {
    return inner_->ImportPublicKeyInfo(info, key);
  }
  DWORD ExportPublicKeyInfo(DWORD key_spec, zuntar::CERT_PUBLIC_KEY_INFO* info) override {
    return inner_->ExportPublicKeyInfo(key_spec, info);
  }
  DWORD CreateHash(zuntar::ALG_ID alg, std::unique_ptr<csp::Hash>* hash) override {
    return inner_->CreateHash(alg, hash);
  }

 private:
  std::unique_ptr<csp::Context> inner_;
  bool short_block_;
};

class FailingModule : public csp::Module {
 public:
  explicit FailingModule(csp::Module* inner) : inner_(inner) {}
  DWORD Acquire(const std::string& container, const std::string& provider_name, DWORD prov_type, DWORD flags,
                std::unique_ptr<csp::Context>* context) override {
    std::unique_ptr<csp::Context> inner;
    if (DWORD rc = inner_->Acquire(container, provider_name, prov_type, flags, &inner)) return rc;
    if (inner != nullptr)
      *context = std::make_unique<FailingSelfTest>(std::move(inner), provider_name.find("Short") != std::string::npos);
    return 0;
  }

 private:
  csp::Module* inner_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) csp::Module* ZuntarCspModule(uint32_t interface_version,
                                                                               const csp::Host* host) {
  if (interface_version != csp::kInterfaceVersion || host == nullptr) return nullptr;
  static FailingModule module(csp::GostModule(host));
  return &module;
}
