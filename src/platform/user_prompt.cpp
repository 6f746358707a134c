#include "platform/user_prompt.h"

#include <atomic>
#include <cstdint>

#include "platform/thread_annotations.h"

namespace zuntar {
namespace {

CancellingPrompt default_prompt;
std::atomic<UserPrompt*> installed_prompt{nullptr};

UserPrompt& Installed() {
  UserPrompt* prompt = installed_prompt.load();
  return prompt != nullptr ? *prompt : default_prompt;
}

// Hands the installed prompt to one question at a time. A cancel bumps the
// epoch: a question that began before it answers Cancel whatever the person
// did, and while the gate is closed no question reaches the person at all.
class PromptGate : public UserPrompt {
 public:
  bool InsertMedia(const std::string& container) override {
    return Ask([&](UserPrompt& p) { return p.InsertMedia(container); }, false);
  }
  std::optional<std::string> AskPin(const std::string& container, bool retry) override {
    return Ask([&](UserPrompt& p) { return p.AskPin(container, retry); }, std::optional<std::string>());
  }
  bool Confirm(const std::string& caption, const std::string& message, const std::string& ok_text,
               const std::string& cancel_text) override {
    return Ask([&](UserPrompt& p) { return p.Confirm(caption, message, ok_text, cancel_text); }, false);
  }
  bool ConfirmOkCancel(const std::string& caption, const std::string& message) override {
    return Ask([&](UserPrompt& p) { return p.ConfirmOkCancel(caption, message); }, false);
  }
  OriginConsent AskOriginConsent(const std::string& origin) override {
    return Ask([&](UserPrompt& p) { return p.AskOriginConsent(origin); }, OriginConsent::kNoAnswer);
  }
  bool Interactive() const override {
    MutexLock lock(mu_);
    return Installed().Interactive();
  }

  void CancelAll() {
    MutexLock lock(mu_);
    closed_ = true;
    ++epoch_;
    if (asking_ != nullptr) asking_->CancelShown();
    turn_.NotifyAll();
  }

  void Allow() {
    MutexLock lock(mu_);
    closed_ = false;
  }

  // A question takes its prompt under the lock, so once none runs the old
  // prompt is out of every thread's hands.
  void Install(UserPrompt* prompt) {
    MutexLock lock(mu_);
    while (asking_ != nullptr) turn_.Wait(mu_);
    installed_prompt.store(prompt);
  }

 private:
  template <class Question, class Answer>
  Answer Ask(Question&& question, Answer cancel) {
    uint64_t epoch = 0;
    UserPrompt* prompt = nullptr;
    {
      MutexLock lock(mu_);
      epoch = epoch_;
      while (asking_ != nullptr && !closed_ && epoch_ == epoch) turn_.Wait(mu_);
      if (closed_ || epoch_ != epoch) return cancel;
      prompt = &Installed();
      asking_ = prompt;
    }
    // The turn passes on however the question ends.
    struct Release {
      PromptGate& gate;
      ~Release() {
        MutexLock relock(gate.mu_);
        gate.asking_ = nullptr;
        gate.turn_.NotifyAll();
      }
    };
    Answer answer = [&] {
      Release release{*this};
      return question(*prompt);
    }();
    MutexLock relock(mu_);
    return epoch_ != epoch ? cancel : answer;
  }

  mutable Mutex mu_;
  CondVar turn_;
  UserPrompt* asking_ GUARDED_BY(mu_) = nullptr;  // the prompt whose question runs now
  bool closed_ GUARDED_BY(mu_) = false;
  uint64_t epoch_ GUARDED_BY(mu_) = 0;
};

PromptGate gate;

}  // namespace

std::string OriginConsentMessage(const std::string& origin) {
  return "Сайт " + origin + " просит доступ к вашим сертификатам и ключам";
}

UserPrompt& CurrentUserPrompt() { return gate; }

void SetUserPrompt(UserPrompt* prompt) { gate.Install(prompt); }

void CancelAllPrompts() { gate.CancelAll(); }

void AllowPrompts() { gate.Allow(); }

}  // namespace zuntar
