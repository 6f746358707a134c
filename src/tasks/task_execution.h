// How a crypto task is run: the check that its certificate is at hand, the
// operation of each task type, and the synchronous path of a "_SYNC"
// request. The processing thread (processing_thread.h) runs the same rules
// for queued tasks.
//
// Every task runs on a certificate manager of its own (NewTaskManager),
// so the certificate one task sets is never the one another signs with.
// Messages are texts in the ANSI code page.
#pragma once

#include <exception>
#include <string>

#include "certs/provider_detection.h"
#include "tasks/crypto_task.h"

namespace zuntar {

class SharedCertManager;
class TDM;
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

// Runs the task's operation on `manager` and leaves the outcome in
// task.Result: true when it is not empty. Failures of the operation raise.
// Types 2, 3 and 4 end with EAbort "Операция прервана".
bool ExecuteTask(TCryptoTask& task, TVCertMgr& manager);

// The same on a manager of the task's own, made from `managers`; raises
// when the plugin has no certificate manager.
bool ExecuteTask(TCryptoTask& task, const SharedCertManager& managers);

// The provider could not reach the certificate's private key
// (0x8009200B, "-2146885621" in the message): key media may help.
bool IsMissingKeyError(const std::exception& e);

// "Ошибка выполнения криптозадачи": an operation that produced nothing.
std::string TaskExecutionFailedText();

// The outcome of a synchronous task, for the HTTP reply.
struct SyncTaskOutcome {
  enum Kind {
    kSuccess,    // `data` holds the result bytes
    kNoResult,   // the operation produced nothing
    kError,      // `data` holds the message
  };
  Kind kind = kError;
  std::string data;
};

// A "_SYNC" request: the task is stored with status 1 (when there is a
// module) and its row held, checked, run on this thread (the key-media
// prompt included) and its outcome stored with status 2 or 3. Every failure
// of the task itself becomes its outcome. Only a failure to store the task
// leaves as an exception: once it is stored, a failing database is logged
// and the outcome returned all the same (TDM::CloseInterruptedTasks closes
// the row at the next start).
SyncTaskOutcome ExecuteTaskSync(TCryptoTask& task, TDM* dm, const SharedCertManager& managers,
                                const ProviderState& providers);

}  // namespace zuntar
