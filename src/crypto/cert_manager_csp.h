// The certificate manager over the platform's CryptoAPI and the installed
// GOST provider: it picks the certificate of each operation, builds and
// reads the messages through the message layer and reports failures.
//
// The current certificate is per manager: a task that runs beside others
// works on its own Clone. The checks of signatures and chains are in
// cert_manager_checks.cpp, the store maintenance and the installation of
// personal certificates in cert_manager_stores.cpp.
#pragma once

#include <atomic>
#include <memory>

#include "certs/provider_detection.h"
#include "crypto/cert_manager.h"
#include "crypto/store_listing.h"
#include "platform/capi/api/crypt_api.h"
#include "platform/capi/cert/cert_store.h"
#include "platform/locked_value.h"

namespace zuntar {

class TDecodedEnvelopedMessage;

class TVCertMgrCSP : public TVCertMgr {
 public:
  explicit TVCertMgrCSP(uint8_t option = 0);
  // Releases the current certificate and gives up the certificate request
  // when this manager is the registered one.
  ~TVCertMgrCSP() override;

  /* 0 */ void SetCertificate(const Bytes& cert_body) override;
  /* 1 */ uint8_t GetKind() override { return 1; }
  /* 2 */ void SetOnCertificateNeeded(CertificateNeededEvent event) override;
  /* 4 */ std::unique_ptr<TVCertMgr> Clone() override;
  /* 5 */ void SignBuffer(DataBuffer data, const Bytes& cert_body, bool detached, bool ignored,
                          Bytes& signed_message) override;
  /* 6 */ void SignRawBuffer(DataBuffer data, const Bytes& cert_body, Bytes& signature) override;
  /* 7 */ void SignFile(const std::string& in_file, const std::string& out_file, bool detached,
                        const Bytes& cert_body) override;
  /* 8 */ void SignStream(TStream& input, TStream& output, bool detached, const Bytes& cert_body) override;
  /* 9 */ void HashBuffer(DataBuffer data, Bytes& hash) override;
  /* 10 */ void SignHash(const Bytes& hash, const Bytes& cert_body, Bytes& signature) override;
  /* 11 */ void EncryptBuffer(DataBuffer data, const std::vector<Bytes>& recipient_bodies, Bytes& enveloped) override;
  /* 12 */ void DecryptBuffer(DataBuffer data, const Bytes& cert_body, Bytes& plain) override;
  /* 13 */ void DecryptFile(const std::string& in_file, const std::string& out_file, const Bytes& cert_body) override;
  /* 14 */ void DecryptStream(TStream& input, TStream& output, const Bytes& cert_body) override;
  /* 15 */ void GetSignedContent(DataBuffer data, Bytes& content) override;
  /* 16 */ uint32_t VerifySigned(DataBuffer data, std::string& error_text, TStringList* cert_list,
                                 DateTime check_time) override;
  /* 17 */ uint32_t VerifyDetached(DataBuffer data, DataBuffer signature, TStringList* cert_list, DateTime check_time,
                                   std::string& error_text) override;
  /* 18 */ uint32_t VerifyDetachedFiles(const std::string& data_file, const std::string& signature_file,
                                        TStringList* cert_list, DateTime check_time, std::string& error_text) override;
  /* 19 */ uint32_t VerifyDetachedStreams(TStream& data, TStream& signature, TStringList* cert_list,
                                          DateTime check_time, std::string& error_text) override;
  /* 20 */ uint32_t VerifySignedStream(TStream& stream, std::string& error_text, TStringList* cert_list,
                                       DateTime check_time) override;
  /* 21 */ uint32_t VerifySignedStreamContent(TStream& stream, TStream* content, TStringList* cert_list,
                                              DateTime check_time, std::string& error_text) override;
  /* 22 */ void GetCertBodyBySerial(const std::string& serial, Bytes& cert_body) override;
  /* 23 */ bool GetSignatureCerts(const Bytes& signature_body, TStringList& list) override;
  /* 24 */ uint32_t VerifyCertChain(const Bytes& cert_body, DateTime check_time) override;
  /* 25 */ void OpenStore(const std::string& name) override;
  /* 26 */ void CloseStore() override;
  /* 27 */ void ShowCert(const Bytes& cert_body) override;
  /* 28 */ void AddCertToStore(const Bytes& cert_body, const std::string& store_name) override;

 private:
  /* 29 */ void Reserved29() override {}

 public:
  /* 30 */ void ImportCrl(const Bytes& crl_body) override;
  /* 34 */ bool HasPrivateKey(const Bytes& cert_body) override;
  /* 35 */ bool InstallPersonalCert(const std::string& container_or_path, const Bytes& cert_body,
                                    std::string& error_text) override;

 private:
  /* 36 */ bool Reserved36() override { return true; }
  /* 37 */ void Reserved37() override {}

 public:
  /* 38 */ bool IsCryptoProInstalled() override;
  /* 39 */ void GetCertInfo(const Bytes& cert_body, uint32_t flags, VCERT_INFO& info) override;
  /* 40 */ void FreeCertInfo(VCERT_INFO& info) override;
  /* 41 */ void EnumPersonal(TStringList& list) override;
  /* 42 */ void EnumAll(TStringList& list) override;
  /* 43 */ bool GetRecipientSerials(DataBuffer data, TStringList& list) override;
  /* 44 */ bool GetRecipientNames(const Bytes& enveloped_body, TStringList& list) override;

  void SignAttachedInPlace(Bytes& data, const Bytes& cert_body) override;
  bool SignAttachedAround(const Bytes& data, const Bytes& cert_body, Bytes& head, Bytes& tail,
                          const std::function<void(const Bytes& head)>& head_known) override;

  // After a failed decryption, try again with the streamed decoder.
  bool StreamDecryptFallback() const { return stream_decrypt_fallback_; }
  void SetStreamDecryptFallback(bool on) { stream_decrypt_fallback_ = on; }
  // Signatures carry the signing time.
  bool AddSigningTime() const { return add_signing_time_; }
  void SetAddSigningTime(bool on) { add_signing_time_ = on; }
  // The machine's providers, as Start found them; clones keep them.
  ProviderState Providers() const { return providers_.Get(); }
  void SetProviders(const ProviderState& providers) { providers_.Set(providers); }

  PCCERT_CONTEXT CurrentCert() const;

  // The chain engine of the certificate checks, made on first use and
  // shared with clones.
  struct ChainEngine;

 protected:
  const char* ClassName() const override { return "TVCertMgrCSP"; }

 private:
  // The certificate of an operation: the body located in the personal
  // stores, or the current certificate when the body is empty. Raises the
  // platform's error when there is none.
  PCCERT_CONTEXT TakeCertificate(const Bytes& cert_body) const;
  // The body's context for one call, or the current certificate; null is
  // allowed.
  PCCERT_CONTEXT CertificateOrNone(const Bytes& cert_body) const;
  // Decryption with every recipient that has a key in one store.
  bool DecryptWithStore(TDecodedEnvelopedMessage& message, const Bytes& data, const HCERTSTORE& store,
                        bool fallback, Bytes& plain);
  Bytes StreamDecrypt(const PCCERT_CONTEXT& cert, const Bytes& data);
  void EnumStores(TStringList& list, bool linked_only);
  // What EnumStores lists, read from the stores themselves.
  static std::vector<Bytes> ReadStores(const HCERTSTORE& user, bool linked_only);
  // The store opened by OpenStore, else `name` (empty: "CA") opened for
  // one call. Raises the platform's error when it cannot be opened.
  HCERTSTORE OpenedStoreOr(const std::string& name);

  PCCERT_CONTEXT current_cert_ GUARDED_BY(mu_);
  LockedValue<ProviderState> providers_;
  std::shared_ptr<ChainEngine> chain_engine_;  // never null
  // The listings of EnumPersonal and EnumAll, shared with clones.
  std::shared_ptr<StoreListingCache> listings_ = std::make_shared<StoreListingCache>();
  HCRYPTPROV store_prov_ GUARDED_BY(mu_);
  HCERTSTORE opened_store_ GUARDED_BY(mu_);
  std::atomic<bool> stream_decrypt_fallback_{false};
  std::atomic<bool> add_signing_time_{false};
};

}  // namespace zuntar
