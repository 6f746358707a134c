// The certificate manager's interface: every key operation of the program
// goes through a TVCertMgr. Its virtual operations keep the order of the
// manager's 45 slots; a slot this class leaves abstract raises
// EAbstractError naming the slot. TVCertMgrCSP (cert_manager_csp.h) is the
// implementation over the platform's CryptoAPI and the GOST provider.
//
// A certificate body argument may be empty: the operation then uses the
// manager's current certificate, the one last given to SetCertificate on
// this manager. Work that runs beside other work (a task) takes its own
// manager with Clone, so that no other thread's SetCertificate changes the
// certificate it signs with.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "certs/cert_info.h"
#include "core/string_list.h"
#include "platform/capi/base/crypt_types.h"
#include "platform/date_time.h"
#include "platform/exception.h"
#include "platform/thread_annotations.h"

namespace zuntar {

class TStream;

// A slot called on a manager that does not implement it.
ZUNTAR_DEFINE_EXCEPTION(EAbstractError, Exception);

// A data argument: a length (32-bit signed, as the slots take it) and the
// bytes. BufferOf builds one from a byte string; longer strings raise.
struct DataBuffer {
  int32_t length = 0;
  const BYTE* data = nullptr;
};
DataBuffer BufferOf(const Bytes& bytes);
// The length of a data argument; raises for a negative length or for a
// length without bytes.
DWORD DataLength(DataBuffer data);

// Asked for the body of a certificate the program needs but no store or
// message holds: (serial-number text, flag (always 1), out body).
using CertificateNeededEvent = std::function<void(const std::string& serial, int flag, Bytes& cert_body)>;

// Calls the reserved slots of a manager; defined only where the slot
// layout is tested.
struct TVCertMgrReservedSlots;

class TVCertMgr {
  friend struct TVCertMgrReservedSlots;

 public:
  explicit TVCertMgr(uint8_t option = 0) : option_(option) {}
  virtual ~TVCertMgr() = default;
  TVCertMgr(const TVCertMgr&) = delete;
  TVCertMgr& operator=(const TVCertMgr&) = delete;

  /* 0 */ virtual void SetCertificate(const Bytes& cert_body);
  /* 1 */ virtual uint8_t GetKind() { return 0; }
  /* 2 */ virtual void SetOnCertificateNeeded(CertificateNeededEvent event);

 private:  // reserved slots: kept for the order, called by no program code
  /* 3 */ virtual void Reserved3() {}

 public:
  /* 4 */ virtual std::unique_ptr<TVCertMgr> Clone();
  /* 5 */ virtual void SignBuffer(DataBuffer data, const Bytes& cert_body, bool detached, bool ignored,
                                  Bytes& signed_message);
  /* 6 */ virtual void SignRawBuffer(DataBuffer data, const Bytes& cert_body, Bytes& signature);
  /* 7 */ virtual void SignFile(const std::string& in_file, const std::string& out_file, bool detached,
                                const Bytes& cert_body);
  /* 8 */ virtual void SignStream(TStream& input, TStream& output, bool detached, const Bytes& cert_body);
  /* 9 */ virtual void HashBuffer(DataBuffer data, Bytes& hash);
  /* 10 */ virtual void SignHash(const Bytes& hash, const Bytes& cert_body, Bytes& signature);
  /* 11 */ virtual void EncryptBuffer(DataBuffer data, const std::vector<Bytes>& recipient_bodies, Bytes& enveloped);
  /* 12 */ virtual void DecryptBuffer(DataBuffer data, const Bytes& cert_body, Bytes& plain);
  /* 13 */ virtual void DecryptFile(const std::string& in_file, const std::string& out_file, const Bytes& cert_body);
  /* 14 */ virtual void DecryptStream(TStream& input, TStream& output, const Bytes& cert_body);
  /* 15 */ virtual void GetSignedContent(DataBuffer data, Bytes& content);
  /* 16 */ virtual uint32_t VerifySigned(DataBuffer data, std::string& error_text, TStringList* cert_list,
                                         DateTime check_time);
  /* 17 */ virtual uint32_t VerifyDetached(DataBuffer data, DataBuffer signature, TStringList* cert_list,
                                           DateTime check_time, std::string& error_text);
  /* 18 */ virtual uint32_t VerifyDetachedFiles(const std::string& data_file, const std::string& signature_file,
                                                TStringList* cert_list, DateTime check_time, std::string& error_text);
  /* 19 */ virtual uint32_t VerifyDetachedStreams(TStream& data, TStream& signature, TStringList* cert_list,
                                                  DateTime check_time, std::string& error_text);
  /* 20 */ virtual uint32_t VerifySignedStream(TStream& stream, std::string& error_text, TStringList* cert_list,
                                               DateTime check_time);
  /* 21 */ virtual uint32_t VerifySignedStreamContent(TStream& stream, TStream* content, TStringList* cert_list,
                                                      DateTime check_time, std::string& error_text);
  /* 22 */ virtual void GetCertBodyBySerial(const std::string& serial, Bytes& cert_body);
  /* 23 */ virtual bool GetSignatureCerts(const Bytes& signature_body, TStringList& list);
  /* 24 */ virtual uint32_t VerifyCertChain(const Bytes& cert_body, DateTime check_time);
  /* 25 */ virtual void OpenStore(const std::string&) {}
  /* 26 */ virtual void CloseStore() {}
  /* 27 */ virtual void ShowCert(const Bytes& cert_body);
  /* 28 */ virtual void AddCertToStore(const Bytes& cert_body, const std::string& store_name);

 private:  // reserved slots: kept for the order, called by no program code
  /* 29 */ virtual void Reserved29();

 public:
  /* 30 */ virtual void ImportCrl(const Bytes& crl_body);

 private:  // reserved slots: kept for the order, called by no program code
  /* 31 */ virtual void Reserved31();
  /* 32 */ virtual bool Reserved32() { return true; }
  /* 33 */ virtual bool Reserved33() { return true; }

 public:
  /* 34 */ virtual bool HasPrivateKey(const Bytes& cert_body);
  /* 35 */ virtual bool InstallPersonalCert(const std::string& container_or_path, const Bytes& cert_body,
                                            std::string& error_text);

 private:  // reserved slots: kept for the order, called by no program code
  /* 36 */ virtual bool Reserved36();
  /* 37 */ virtual void Reserved37();

 public:
  /* 38 */ virtual bool IsCryptoProInstalled();
  /* 39 */ virtual void GetCertInfo(const Bytes& cert_body, uint32_t flags, VCERT_INFO& info);
  /* 40 */ virtual void FreeCertInfo(VCERT_INFO& info);
  /* 41 */ virtual void EnumPersonal(TStringList& list);
  /* 42 */ virtual void EnumAll(TStringList& list);
  /* 43 */ virtual bool GetRecipientSerials(DataBuffer data, TStringList& list);
  /* 44 */ virtual bool GetRecipientNames(const Bytes& enveloped_body, TStringList& list);

  // Not one of the slots: the attached signature of `data` in the data's
  // place. On success `data` holds the signed message, on failure it is
  // as it was. This class signs through slot 5; a manager that can build
  // the message around the data in its own buffer does so, and a large
  // input is then never held twice.
  virtual void SignAttachedInPlace(Bytes& data, const Bytes& cert_body);
  // Nor this: the attached signature of `data` as the bytes that go before
  // it (`head`, told to `head_known` before the data is read) and after it
  // (`tail`), the data only read. False, and nothing done, from a manager
  // that signs through slot 5 only, as this class does.
  virtual bool SignAttachedAround(const Bytes& data, const Bytes& cert_body, Bytes& head, Bytes& tail,
                                  const std::function<void(const Bytes& head)>& head_known);

  // Byte-string forms of slots 5, 6, 9 and 12.
  Bytes Sign(const Bytes& data, const Bytes& cert_body, bool detached, bool ignored);
  Bytes SignRaw(const Bytes& data, const Bytes& cert_body);
  Bytes Hash(const Bytes& data);
  Bytes Decrypt(const Bytes& data, const Bytes& cert_body);

  Bytes CurrentCertBody() const;
  uint8_t option() const { return option_; }
  CertificateNeededEvent OnCertificateNeeded() const;

 protected:
  // Raises EAbstractError: "<class>.<operation> (slot <n>)" is missing.
  [[noreturn]] void Abstract(const char* operation, int slot) const;
  virtual const char* ClassName() const { return "TVCertMgr"; }

  // Guards the fields that SetCertificate and SetOnCertificateNeeded change
  // while other threads read them.
  mutable Mutex mu_;

 private:
  Bytes current_cert_body_ GUARDED_BY(mu_);
  uint8_t option_;
  CertificateNeededEvent on_certificate_needed_ GUARDED_BY(mu_);
};

}  // namespace zuntar
