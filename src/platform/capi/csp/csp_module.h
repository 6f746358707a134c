// The interface between the CryptoAPI-shaped layer and a provider module.
//
// A provider module is a shared library that exports
//   extern "C" zuntar::csp::Module* ZuntarCspModule(uint32_t interface_version,
//                                                   const zuntar::csp::Host* host);
// The layer finds it through the registry stand-in (provider name and type ->
// "Image Path"), loads it once and keeps it for the life of the process.
// Every operation returns 0 or an error code; the layer turns codes into the
// caller's last error. Objects are owned by the layer through unique_ptr.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/capi/base/crypt_types.h"

namespace zuntar {
class UserPrompt;
}

namespace zuntar::csp {

constexpr uint32_t kInterfaceVersion = 3;
constexpr char kEntryPoint[] = "ZuntarCspModule";

// What the loading process lends the module.
struct Host {
  // The process's current prompt (the module has no user interface).
  UserPrompt& (*prompt)();
};

class Key {
 public:
  virtual ~Key() = default;
  virtual DWORD GetParam(DWORD param, Bytes* value) = 0;
  virtual DWORD SetParam(DWORD param, const Bytes& value) = 0;
  // `exp_key` may be null (public-key blobs).
  virtual DWORD Export(Key* exp_key, DWORD blob_type, DWORD flags, Bytes* blob) = 0;
  virtual DWORD Encrypt(bool final, Bytes* data) = 0;
  virtual DWORD Decrypt(bool final, Bytes* data) = 0;
};

class Hash {
 public:
  virtual ~Hash() = default;
  virtual DWORD HashData(const BYTE* data, size_t size) = 0;
  virtual DWORD SetParam(DWORD param, const Bytes& value) = 0;
  virtual DWORD GetParam(DWORD param, Bytes* value) = 0;
  // Signature of the hash value with the context's key of that key spec, in the
  // provider's byte order.
  virtual DWORD Sign(DWORD key_spec, Bytes* signature) = 0;
  virtual DWORD Verify(const Bytes& signature, Key* public_key) = 0;
};

class Context {
 public:
  virtual ~Context() = default;
  // `flags` carries CRYPT_FIRST / CRYPT_NEXT etc.; a null value asks for the
  // size only (returned in *size). Texts (names of containers and of the
  // provider) are in the process's ANSI code page, as CryptGetProvParam
  // gives them.
  virtual DWORD GetParam(DWORD param, DWORD flags, Bytes* value, DWORD* size) = 0;
  virtual DWORD SetParam(DWORD param, const Bytes& value) = 0;
  virtual DWORD GetUserKey(DWORD key_spec, std::unique_ptr<Key>* key) = 0;
  virtual DWORD GenKey(ALG_ID alg, DWORD flags, std::unique_ptr<Key>* key) = 0;
  virtual DWORD ImportKey(const Bytes& blob, Key* pub_key, DWORD flags, std::unique_ptr<Key>* key) = 0;
  virtual DWORD ImportPublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info, std::unique_ptr<Key>* key) = 0;
  virtual DWORD ExportPublicKeyInfo(DWORD key_spec, CERT_PUBLIC_KEY_INFO* info) = 0;
  virtual DWORD CreateHash(ALG_ID alg, std::unique_ptr<Hash>* hash) = 0;
};

class Module {
 public:
  virtual ~Module() = default;
  // `container` (UTF-8) may be empty (the default container, or none
  // with CRYPT_VERIFYCONTEXT); `provider_name` is the name the caller asked
  // for, reported back as PP_NAME.
  virtual DWORD Acquire(const std::string& container, const std::string& provider_name, DWORD prov_type,
                        DWORD flags, std::unique_ptr<Context>* context) = 0;
  // Forgets every unlocked private key and PIN the module keeps, so that
  // the next use of a key asks for its PIN again. A module that keeps
  // none has nothing to do.
  virtual void DropKeyCache() {}
  // Forgets each unlocked key once it has not been used for `minutes`
  // (0: keeps it until DropKeyCache).
  virtual void SetKeyCacheIdleLimit(uint32_t minutes) { (void)minutes; }
};

// The GOST provider of this project, as the shared module exports it. The
// first host given stays the module's host.
Module* GostModule(const Host* host);

}  // namespace zuntar::csp

extern "C" zuntar::csp::Module* ZuntarCspModule(uint32_t interface_version, const zuntar::csp::Host* host);
