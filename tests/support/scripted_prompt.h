// A user prompt whose answers the test sets in advance.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/user_prompt.h"

namespace zuntar::test {

class ScriptedPrompt : public UserPrompt {
 public:
  ScriptedPrompt() { SetUserPrompt(this); }
  ~ScriptedPrompt() override { SetUserPrompt(nullptr); }

  // Answers of InsertMedia, in order; each may run an action first (the
  // person inserting the media). Cancel once they run out.
  std::deque<std::pair<bool, std::function<void()>>> media_answers;
  // PINs, in order; nothing means Cancel.
  std::deque<std::optional<std::string>> pins;
  std::vector<std::string> asked;

  bool InsertMedia(const std::string& container) override {
    asked.push_back("media:" + container);
    if (media_answers.empty()) return false;
    auto [answer, action] = media_answers.front();
    media_answers.pop_front();
    if (action) action();
    return answer;
  }
  std::optional<std::string> AskPin(const std::string& container, bool retry) override {
    asked.push_back(std::string(retry ? "pin-again:" : "pin:") + container);
    if (pins.empty()) return std::nullopt;
    std::optional<std::string> pin = pins.front();
    pins.pop_front();
    return pin;
  }
  bool Confirm(const std::string& caption, const std::string&, const std::string&, const std::string&) override {
    asked.push_back("confirm:" + caption);
    return false;
  }
};

}  // namespace zuntar::test
