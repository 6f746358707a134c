// Questions the platform layer asks the person at the desktop.
//
// Where Windows components would show their own dialogs (a GOST provider
// asking for key media or a PIN, the program's confirmation prompts), the
// stand-ins ask through this interface instead. The desktop implementation
// is installed at start-up; until then, and in processes without a desktop,
// every question is answered Cancel at once, so no worker waits forever.
// Texts are UTF-8.
#pragma once

#include <optional>
#include <string>

namespace zuntar {

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
};

// Answers Cancel to everything.
class CancellingPrompt : public UserPrompt {
 public:
  bool InsertMedia(const std::string&) override { return false; }
  std::optional<std::string> AskPin(const std::string&, bool) override { return std::nullopt; }
  bool Confirm(const std::string&, const std::string&, const std::string&, const std::string&) override {
    return false;
  }
};

// The process-wide prompt: the one installed last, or a CancellingPrompt.
UserPrompt& CurrentUserPrompt();
// Installs a prompt (not owned; it must outlive its use). Null restores the
// default.
void SetUserPrompt(UserPrompt* prompt);

}  // namespace zuntar
