#include "platform/user_prompt.h"

#include <atomic>

namespace zuntar {
namespace {

CancellingPrompt default_prompt;
std::atomic<UserPrompt*> current_prompt{nullptr};

}  // namespace

UserPrompt& CurrentUserPrompt() {
  UserPrompt* prompt = current_prompt.load();
  return prompt != nullptr ? *prompt : default_prompt;
}

void SetUserPrompt(UserPrompt* prompt) { current_prompt.store(prompt); }

}  // namespace zuntar
