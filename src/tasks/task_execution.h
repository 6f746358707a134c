// How a crypto task is run: the check that its certificate is at hand and
// the operation of each task type. The processing thread
// (processing_thread.h) runs queued tasks so, a "_SYNC" request
// (sync_task.h) its own.
//
// Every task runs on a certificate manager of its own (NewTaskManager),
// so the certificate one task sets is never the one another signs with.
// Messages are texts in the ANSI code page.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "tasks/crypto_task.h"

namespace zuntar {

class SharedCertManager;
class TVCertMgr;

// True when the task names its certificate (CertSN or CertThumb).
bool NamesCertificate(const TCryptoTask& task);

// Whether the certificate the task names is at hand: by serial number (the
// current user's and the machine's "MY"), else by thumbprint (the current
// user's "MY"), else for a decryption among the recipients of its message.
// A single certificate found becomes task.CertBody. False with a message
// when nothing is found; a decryption whose recipients are all missing gets
// their serial numbers appended to CertSN, so the key-media prompt can ask
// for them. A task that names no certificate at all gets a message too.
bool CheckTaskCertificate(TCryptoTask& task, std::string& message);

// An attached signature left around its input: the input stays where it
// is, and the result is `head`, the input, then `tail`. `head_known` learns
// the head before the input is read.
struct SignatureAround {
  std::function<void(const std::string& head)> head_known;
  std::string head, tail;
  bool made = false;  // the result was made so; task.Result is left empty
};

// Runs the task's operation on `manager` and leaves the outcome in
// task.Result: true when it is not empty. Failures of the operation raise.
// Types 2, 3 and 4 end with EAbort "Операция прервана". With `around`, the
// operation only reads task.InData, and an attached signature is made
// around it when the manager can.
bool ExecuteTask(TCryptoTask& task, TVCertMgr& manager, SignatureAround* around = nullptr);

// The same on a manager of the task's own, made from `managers`; raises
// when the plugin has no certificate manager.
bool ExecuteTask(TCryptoTask& task, const SharedCertManager& managers, SignatureAround* around = nullptr);

// The provider could not reach the certificate's private key
// (0x8009200B, "-2146885621" in the message): key media may help.
bool IsMissingKeyError(const std::exception& e);

// "Ошибка выполнения криптозадачи": an operation that produced nothing.
std::string TaskExecutionFailedText();

}  // namespace zuntar
