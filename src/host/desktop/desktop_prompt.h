// The questions of the platform's user prompt, put to the person at the
// desktop with Qt dialogs: the key-media prompt, the system-style OK/Cancel
// box, the provider's insert-media and PIN dialogs, and a web site's request
// for the certificates and keys.
//
// A question may come from any thread. The dialog is made and shown on the
// GUI thread through a queued call while the asking thread waits for the
// answer; the GUI thread never waits, so the tray and the control actions
// keep working while a question is open. The dialogs do not block the
// program's other windows: only the asking thread waits, as a question from
// a worker thread does on Windows. Each dialog is centred on the screen and
// kept in front. CancelShown (Stop and Exit, through the prompt gate) ends
// the question in progress with Cancel, also one not yet on screen.
//
// Without a desktop (Qt's offscreen platform) every question is answered
// Cancel at once. A PIN is never echoed and never logged.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/thread_annotations.h"
#include "platform/user_prompt.h"

class QDialog;

namespace zuntar {

class DesktopPrompt : public QObject, public UserPrompt {
 public:
  // Made on the GUI thread. `interactive`: whether a person can see dialogs.
  explicit DesktopPrompt(bool interactive);
  // Answers Cancel to what is in progress and waits for the asking threads
  // to take their answers.
  ~DesktopPrompt() override;

  bool InsertMedia(const std::string& container) override;
  std::optional<std::string> AskPin(const std::string& container, bool retry) override;
  bool Confirm(const std::string& caption, const std::string& message, const std::string& ok_text,
               const std::string& cancel_text) override;
  bool ConfirmOkCancel(const std::string& caption, const std::string& message) override;
  OriginConsent AskOriginConsent(const std::string& origin) override;
  bool Interactive() const override;
  void CancelShown() override;

  // From now on every question answers Cancel at once (the application ends).
  void Close();

  // The dialog of the question on screen, for the desktop's own use (GUI thread).
  QDialog* ShownDialog() const;

  // What a dialog answered.
  struct Answer {
    bool accepted = false;
    std::string text;  // the PIN
    OriginConsent consent = OriginConsent::kNoAnswer;
  };

 private:
  struct Question;
  using Maker = std::function<QDialog*()>;
  using Reader = std::function<Answer(QDialog*, int)>;

  Answer Ask(Maker make, Reader read);
  void Show(const std::shared_ptr<Question>& question);
  void WaitOnGuiThread(const std::shared_ptr<Question>& question);

  const bool interactive_;
  mutable Mutex mu_;
  CondVar changed_;
  bool closed_ GUARDED_BY(mu_) = false;
  int in_flight_ GUARDED_BY(mu_) = 0;
  std::shared_ptr<Question> current_ GUARDED_BY(mu_);
};

}  // namespace zuntar
