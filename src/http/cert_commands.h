// ENUMCERTS, ENUMALLCERTS, GETCERTBODY and CHECKCERTANDCLUE (GET and POST):
// the user's certificates for a page, one certificate's body, and whether a
// certificate's private key is at hand (asking for the key media by POST).
//
// Every one of them needs the certificate manager that Start creates; when
// that failed, they answer an error envelope with the start-up status.
#pragma once

#include <string>

#include "certs/cert_info.h"
#include "http/command_table.h"

namespace zuntar {

void RegisterCertificateCommands(CommandRegistry& registry);

// The key-media question of CHECKCERTANDCLUE by POST for the certificate's
// record (serial number, subject, validity start, thumbprint), in code page
// 1251.
std::string CertCheckPromptText(const VCERT_INFO& info);

}  // namespace zuntar
