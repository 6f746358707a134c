// The process's prompt gate: one question at a time, and Stop and Exit
// cancelling what is asked and what waits.
#include "platform/user_prompt.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "support/scripted_prompt.h"

namespace zuntar {
namespace {

using namespace std::chrono_literals;

// Waits (at most ten seconds) until the condition holds.
template <class Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 1000 && !condition(); ++i) std::this_thread::sleep_for(10ms);
  return condition();
}

std::future<bool> AskInBackground(const std::string& caption) {
  return std::async(std::launch::async, [caption] { return CurrentUserPrompt().Confirm(caption, "m", "ok", "no"); });
}

TEST(PromptGate, AsksOneQuestionAtATimeInTurn) {
  test::ScriptedPrompt person;
  person.confirm_answers = {{true, nullptr}, {false, nullptr}};
  person.HoldQuestions(true);
  std::future<bool> first = AskInBackground("first");
  ASSERT_TRUE(Eventually([&] { return person.Running() == 1; }));
  std::future<bool> second = AskInBackground("second");
  // The second waits for its turn outside the prompt.
  EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout);
  EXPECT_EQ(person.Running(), 1);
  person.HoldQuestions(false);
  EXPECT_TRUE(first.get());
  EXPECT_FALSE(second.get());
  EXPECT_EQ(person.asked, (std::vector<std::string>{"confirm:first", "confirm:second"}));
}

TEST(PromptGate, CancelAnswersTheShownTheWaitingAndTheLaterQuestionsUntilAllowed) {
  test::ScriptedPrompt person;
  person.confirm_answers = {{true, nullptr}, {true, nullptr}, {true, nullptr}};
  person.HoldQuestions(true);
  std::future<bool> shown = AskInBackground("shown");
  ASSERT_TRUE(Eventually([&] { return person.Running() == 1; }));
  std::future<bool> waiting = AskInBackground("waiting");
  EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);

  CancelAllPrompts();
  // The shown question is closed, and reads Cancel although its scripted
  // answer was OK; the waiting one never reaches the person.
  EXPECT_FALSE(shown.get());
  EXPECT_FALSE(waiting.get());
  EXPECT_FALSE(CurrentUserPrompt().Confirm("later", "m", "ok", "no"));
  EXPECT_FALSE(CurrentUserPrompt().ConfirmOkCancel("later", "m"));
  EXPECT_FALSE(CurrentUserPrompt().InsertMedia("c"));
  EXPECT_EQ(CurrentUserPrompt().AskPin("c", false), std::nullopt);
  EXPECT_EQ(CurrentUserPrompt().AskOriginConsent("https://a.example"), OriginConsent::kNoAnswer);
  EXPECT_EQ(person.asked, (std::vector<std::string>{"confirm:shown"}));

  AllowPrompts();
  person.HoldQuestions(false);
  EXPECT_TRUE(CurrentUserPrompt().Confirm("again", "m", "ok", "no"));
  EXPECT_EQ(person.asked.back(), "confirm:again");
}

TEST(PromptGate, OnlyAnInstalledPromptReachesAPerson) {
  EXPECT_FALSE(CurrentUserPrompt().Interactive());
  EXPECT_FALSE(CurrentUserPrompt().Confirm("c", "m", "ok", "no"));
  EXPECT_EQ(CurrentUserPrompt().AskOriginConsent("https://a.example"), OriginConsent::kNoAnswer);
  test::ScriptedPrompt person;
  person.pins.push_back("1234");
  person.origin_answers = {OriginConsent::kAllowAlways, OriginConsent::kDeny};
  EXPECT_TRUE(CurrentUserPrompt().Interactive());
  EXPECT_EQ(CurrentUserPrompt().AskPin("c", true), "1234");
  EXPECT_EQ(CurrentUserPrompt().AskOriginConsent("https://a.example"), OriginConsent::kAllowAlways);
  EXPECT_EQ(CurrentUserPrompt().AskOriginConsent("https://b.example"), OriginConsent::kDeny);
  EXPECT_EQ(person.asked,
            (std::vector<std::string>{"pin-again:c", "origin:https://a.example", "origin:https://b.example"}));
  EXPECT_EQ(OriginConsentMessage("https://a.example"),
            "Сайт https://a.example просит доступ к вашим сертификатам и ключам");
}

}  // namespace
}  // namespace zuntar
