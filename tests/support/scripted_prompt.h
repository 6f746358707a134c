// A user prompt whose answers the test sets in advance.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/user_prompt.h"

namespace zuntar::test {

class ScriptedPrompt : public UserPrompt {
 public:
  ScriptedPrompt() { SetUserPrompt(this); }
  ~ScriptedPrompt() override { SetUserPrompt(nullptr); }

  // An answer, with an action run first (the person inserting the media).
  using Answer = std::pair<bool, std::function<void()>>;

  // Answers of InsertMedia, in order; Cancel once they run out.
  std::deque<Answer> media_answers;
  // PINs, in order; nothing means Cancel.
  std::deque<std::optional<std::string>> pins;
  // Answers of Confirm and ConfirmOkCancel, in order; Cancel once they run
  // out.
  std::deque<Answer> confirm_answers;
  // Answers of AskOriginConsent, in order; kNoAnswer once they run out.
  std::deque<OriginConsent> origin_answers;
  // What was asked: "media:<container>", "pin:<container>",
  // "confirm:<caption>", "box:<caption>", "origin:<origin>".
  std::vector<std::string> asked;
  // The messages of Confirm and ConfirmOkCancel, and the button texts of
  // Confirm ("<ok>|<cancel>").
  std::vector<std::string> messages;
  std::vector<std::string> buttons;

  bool InsertMedia(const std::string& container) override {
    Record("media:" + container);
    return Next(media_answers);
  }
  std::optional<std::string> AskPin(const std::string& container, bool retry) override {
    Record(std::string(retry ? "pin-again:" : "pin:") + container);
    std::lock_guard lock(mu_);
    if (pins.empty()) return std::nullopt;
    std::optional<std::string> pin = pins.front();
    pins.pop_front();
    return pin;
  }
  bool Confirm(const std::string& caption, const std::string& message, const std::string& ok_text,
               const std::string& cancel_text) override {
    {
      std::lock_guard lock(mu_);
      messages.push_back(message);
      buttons.push_back(ok_text + "|" + cancel_text);
    }
    Record("confirm:" + caption);
    return Next(confirm_answers);
  }
  bool ConfirmOkCancel(const std::string& caption, const std::string& message) override {
    {
      std::lock_guard lock(mu_);
      messages.push_back(message);
    }
    Record("box:" + caption);
    return Next(confirm_answers);
  }
  OriginConsent AskOriginConsent(const std::string& origin) override {
    Record("origin:" + origin);
    std::unique_lock lock(mu_);
    ++running_;
    changed_.wait(lock, [&] { return !hold_ || cancelled_; });
    const bool cancelled = std::exchange(cancelled_, false);
    --running_;
    if (cancelled || origin_answers.empty()) return OriginConsent::kNoAnswer;
    const OriginConsent answer = origin_answers.front();
    origin_answers.pop_front();
    return answer;
  }
  void CancelShown() override {
    std::lock_guard lock(mu_);
    cancelled_ = true;
    changed_.notify_all();
  }

  // A person who never answers: each question blocks until CancelShown
  // (or ReleaseHeld), then answers as scripted.
  void HoldQuestions(bool hold) {
    std::lock_guard lock(mu_);
    hold_ = hold;
    cancelled_ = false;
    changed_.notify_all();
  }
  // Questions running now (held or not).
  int Running() {
    std::lock_guard lock(mu_);
    return running_;
  }

 private:
  void Record(const std::string& what) {
    std::lock_guard lock(mu_);
    asked.push_back(what);
  }

  bool Next(std::deque<Answer>& answers) {
    std::unique_lock lock(mu_);
    ++running_;
    changed_.wait(lock, [&] { return !hold_ || cancelled_; });
    cancelled_ = false;
    --running_;
    if (answers.empty()) return false;
    Answer answer = answers.front();
    answers.pop_front();
    lock.unlock();
    if (answer.second) answer.second();
    return answer.first;
  }

  std::mutex mu_;
  std::condition_variable changed_;
  bool hold_ = false;
  bool cancelled_ = false;
  int running_ = 0;
};

}  // namespace zuntar::test
