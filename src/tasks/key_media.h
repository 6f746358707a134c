// The key-media prompt: an operation needs a certificate whose key is on
// removable media that is not inserted. The person at the desktop is asked
// to insert the media; after each confirmation every key container the GOST
// provider reaches is searched for the wanted certificate, and what is found
// is installed into the current user's personal store, linked to its
// container. The question repeats until something is found or the person
// cancels.
//
// Messages are held in code page 1251 whatever the system's code page is:
// the prompt is Russian on every system. Without a desktop (no display,
// service mode) the prompt answers Cancel at once and says so in the log.
#pragma once

#include <string>
#include <vector>

#include "certs/provider_detection.h"
#include "tasks/crypto_task.h"

namespace zuntar {

// UTF-8.
inline constexpr char kKeyMediaCaption[] = "ЗУНТАР.Плагин. Требуется установить ключ!";
inline constexpr char kKeyMediaSearchButton[] = "Поиск ключа";
inline constexpr char kKeyMediaCancelButton[] = "Отмена";

// What a task asks for: the entries of CertSN (serial numbers), or of
// CertThumb (thumbprints) when CertSN is empty, split at ';' and cut at the
// first empty entry.
struct WantedCertificates {
  bool by_serial = true;
  std::vector<std::string> entries;
};
WantedCertificates WantedCertificatesOf(const TCryptoTask& task);

// The button that starts the search as the messages name it: "Поиск ключа"
// with the program's own dialog (code page 1251 systems), "Ok" with the
// system's message box.
std::string KeyMediaSearchButtonName();

// The close of every key-media message, in code page 1251: insert the
// media, then press the search button (named as above) or "Отмена".
std::string KeyMediaInstructions();

// The message of RequestKeyMedia for a task of that type, in code page 1251.
std::string KeyMediaMessage(int task_type, const WantedCertificates& wanted);

// True when at least one wanted certificate was found on key media and
// installed; false when the person cancelled, and at once (no question)
// when the task names no certificate. Installation failures throw.
// `providers`: the machine's, as Start found them.
bool RequestKeyMedia(const TCryptoTask& task, const ProviderState& providers);

// True when the certificate with that serial number (plain hex, any case)
// was found on key media and installed; false when the person cancelled.
// `message` is the question, in code page 1251.
bool RequestKeyMediaForCert(const std::string& serial, const std::string& message, const ProviderState& providers);

// One question with the key-media caption and the message (code page 1251):
// true for the search button. `subject` names what is wanted in the log line
// written when there is no desktop to ask on.
bool AskForKeyMedia(const std::string& message, const std::string& subject);

}  // namespace zuntar
