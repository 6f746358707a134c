// Questions the platform layer asks the person at the desktop.
//
// Where Windows components would show their own dialogs (a GOST provider
// asking for key media or a PIN, the program's confirmation prompts), the
// stand-ins ask through this interface instead. The desktop implementation
// is installed at start-up; until then, and in processes without a desktop,
// every question is answered Cancel at once, so no worker waits forever.
// Texts are UTF-8.
//
// Every question goes through the process's prompt gate (CurrentUserPrompt):
// one question is asked at a time, the others wait their turn, and Stop and
// Exit can make every question in progress or waiting answer Cancel
// (CancelAllPrompts), so no worker blocks the shutdown.
#pragma once

#include <optional>
#include <string>

namespace zuntar {

// The person's answer to a web site that asks for the certificates and keys.
enum class OriginConsent {
  kNoAnswer,    // the question was closed or cancelled: refused now, asked again later
  kAllowOnce,   // allowed while the plugin runs
  kAllowAlways, // allowed, and remembered
  kDeny,        // refused, and remembered
};

// The texts of that question (UTF-8).
inline constexpr char kOriginConsentCaption[] = "ЗУНТАР.Плагин";
inline constexpr char kOriginAllowAlwaysButton[] = "Разрешить всегда";
inline constexpr char kOriginAllowOnceButton[] = "Разрешить в этот раз";
inline constexpr char kOriginDenyButton[] = "Запретить";
// "Сайт <origin> просит доступ к вашим сертификатам и ключам".
std::string OriginConsentMessage(const std::string& origin);

class UserPrompt {
 public:
  virtual ~UserPrompt() = default;

  // The key container is on media that is not reachable. True when the
  // person says the media is in place now (ask again), false on Cancel.
  virtual bool InsertMedia(const std::string& container) = 0;

  // The PIN protecting the container's key; nothing on Cancel. `retry` is
  // true after a wrong PIN.
  virtual std::optional<std::string> AskPin(const std::string& container, bool retry) = 0;

  // A modal question with two buttons: true for the OK button (the
  // default), false for the Cancel button (also Esc).
  virtual bool Confirm(const std::string& caption, const std::string& message, const std::string& ok_text,
                       const std::string& cancel_text) = 0;

  // The system's own message box with OK and Cancel buttons in Russian
  // (language 1049), for systems whose code page is not 1251: true for OK.
  virtual bool ConfirmOkCancel(const std::string& caption, const std::string& message) = 0;

  // A web page of `origin` asks for the person's certificates and keys:
  // OriginConsentMessage with the three buttons above. Esc, closing the
  // window or a cancel answer kNoAnswer, and so does a prompt that cannot
  // ask it.
  virtual OriginConsent AskOriginConsent(const std::string& /*origin*/) { return OriginConsent::kNoAnswer; }

  // Whether a person can see the questions at all. False without a desktop
  // (no display, service mode): every question answers Cancel at once.
  virtual bool Interactive() const { return true; }

  // Called from another thread while one of this prompt's questions runs:
  // that question must end with Cancel, also when the call comes before it
  // appears on screen. It must not wait for the question to end.
  virtual void CancelShown() {}
};

// Answers Cancel to everything.
class CancellingPrompt : public UserPrompt {
 public:
  bool InsertMedia(const std::string&) override { return false; }
  std::optional<std::string> AskPin(const std::string&, bool) override { return std::nullopt; }
  bool Confirm(const std::string&, const std::string&, const std::string&, const std::string&) override {
    return false;
  }
  bool ConfirmOkCancel(const std::string&, const std::string&) override { return false; }
  OriginConsent AskOriginConsent(const std::string&) override { return OriginConsent::kNoAnswer; }
  bool Interactive() const override { return false; }
};

// The process's prompt gate, in front of the prompt installed last (or a
// CancellingPrompt): the prompt every part of the program asks.
UserPrompt& CurrentUserPrompt();
// Installs a prompt (not owned). Null restores the default. Waits until no
// question runs, so the prompt it replaces may be destroyed afterwards.
void SetUserPrompt(UserPrompt* prompt);

// Stop and Exit: the question on screen and every question waiting for its
// turn answer Cancel now, and every later one at once, until AllowPrompts.
void CancelAllPrompts();
// Start: questions are asked again.
void AllowPrompts();

}  // namespace zuntar
