// Finding certificates in the personal stores ("MY") of the current user and
// of the local machine, by serial number, thumbprint or body, and the
// process-wide hook through which a higher layer supplies certificates that
// no message carries.
//
// Every returned context is the caller's; the stores are closed before the
// functions return.
#pragma once

#include <string>

#include "platform/capi/cert/cert_store.h"

namespace zuntar {

inline constexpr char kPersonalStoreName[] = "MY";

// The current user's store through the plain system-store open; the local
// machine's through the system store provider, read-only for look-ups
// (flags 0x00028000) and writable for enumeration and decryption
// (0x00020000). Null when it cannot be opened.
HCERTSTORE OpenCurrentUserStore(const char* name = kPersonalStoreName);
HCERTSTORE OpenLocalMachineStore(bool read_only, const char* name = kPersonalStoreName);

// Given a plain serial-number text, a certificate context (the caller's) or
// null. Set and cleared by the certificate manager; null by default.
using CertificateLookupFunc = PCCERT_CONTEXT (*)(const std::string& serial);
void SetCertificateLookupHook(CertificateLookupFunc hook);
CertificateLookupFunc CertificateLookupHook();

// The first certificate, in the store's order, whose plain serial-number
// text equals `serial` without its blanks, compared without regard to case;
// in the current user's "MY" or the local machine's (read-only).
PCCERT_CONTEXT FindStoreCertBySerial(const std::string& serial, bool current_user);

// The store's context of the certificate with that body: found by SHA-1
// hash, else by public key. Not found: null in the current user's store;
// in the local machine's, the decoded body itself (a certificate that lives
// in no store). Null for a body that does not decode; the decoded body when
// its hash cannot be read. Locating means asking the current user first and
// the local machine after, which always yields a context for a decodable
// body.
PCCERT_CONTEXT LocateCertificate(const Bytes& cert_body, bool current_user);

// The certificate of that SHA-1 hash in the current user's "MY" only.
PCCERT_CONTEXT FindCertByThumbprint(const Bytes& hash);

// Whether a certificate with the same SHA-1 hash in the current user's "MY"
// is linked to a key container (key-provider information with a container
// name); by the plain serial-number text when the hash cannot be read.
bool CertHasKeyContainer(const PCCERT_CONTEXT& cert);

}  // namespace zuntar
