// The in-memory crypto task, its identifiers and the rules that map it to
// a row of CRYPTO_TASKS.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/date_time.h"

namespace zuntar {

// Task types (TTYPE).
enum : uint8_t {
  kTaskDetachedSign = 0,
  kTaskAttachedSign = 1,
  kTaskXmlSign = 2,
  kTaskPovedRequest = 3,
  kTaskSedoRequest = 4,
  kTaskDecrypt = 5,
  kTaskDecryptPovedResponse = 6,
  kTaskDecryptSedoResponse = 7,
  kTaskSignHash = 8,
};

// Task statuses (STATUS).
enum : uint8_t {
  kTaskStatusNew = 0,      // waits for the processing thread
  kTaskStatusWait = 1,     // a synchronous request runs it now
  kTaskStatusSuccess = 2,  // OUT_DATA holds the result
  kTaskStatusError = 3,    // OUT_DATA holds the message
};

// How long a pending task may wait: 30 minutes, in days.
inline constexpr DateTime TASK_LIFETIME = 1.0 / 48;

struct TCryptoTask {
  std::string Id;
  uint8_t TaskType = 0;
  uint8_t State = 0;  // reserved
  std::string InData;
  std::string CertSN;     // serial number or ";"-list; empty when named by thumbprint
  std::string CertThumb;  // thumbprint hex or ";"-list
  std::string StrParam;
  bool Skipped = false;  // left in the queue unfinished by the processing thread
  DateTime StartTime = 0;  // only for tasks read back from the table
  std::string Result;
  std::string CertBody;  // DER of the certificate resolved for the task
  // ORIGIN: the web site whose page created the task; nothing for a program
  // on the machine. Only the store uses it: a page sees its own tasks.
  std::optional<std::string> Origin;
};

// Frees the task's input, which may be large, once nothing reads it any more.
void ReleaseInput(TCryptoTask& task);

// CERT_SN for storing: CertSN, else "@" + CertThumb, else NULL.
std::optional<std::string> CertSnColumn(const TCryptoTask& task);

// Fills CertSN / CertThumb from a stored CERT_SN: a value holding "@"
// anywhere names thumbprints (every "@" removed), any other a serial.
void ApplyCertSnColumn(TCryptoTask& task, const std::optional<std::string>& cert_sn);

// A new identifier: the five groups of a new GUID in reverse order, 32 hex
// digits without separators.
std::string NewTaskId();

// A caller's identifier as stored: every "-" removed, lower case.
std::string NormalizeTaskId(const std::string& text);

// Whether a task started at `start` has waited longer than TASK_LIFETIME
// at `now`. Compared in whole milliseconds, the resolution of both clocks,
// so a task exactly 30 minutes old is still within its lifetime.
bool IsPastLifetime(DateTime start, DateTime now);

}  // namespace zuntar
