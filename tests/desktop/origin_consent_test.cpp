// A web site's request for the keys at the desktop: the question's three
// answers, Esc and Stop, the decision kept for the user, and the settings
// window's list of remembered sites with its revocation.
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <future>

#include "desktop_fixture.h"
#include "host/desktop/desktop_prompt.h"
#include "host/desktop/origin_consent_dialog.h"
#include "host/desktop/settings_window.h"
#include "http/origin_guard.h"
#include "platform/origin_consent_file.h"
#include "support/scoped_env.h"

namespace zuntar {
namespace {

using test::WaitUntil;

class OriginQuestion : public test::DesktopTest {
 protected:
  OriginQuestion() { SetUserPrompt(&prompt_); }
  ~OriginQuestion() override {
    AllowPrompts();
    SetUserPrompt(nullptr);
  }

  static std::future<OriginConsent> Ask(const std::string& origin = "https://edo.example.ru") {
    return std::async(std::launch::async, [origin] { return CurrentUserPrompt().AskOriginConsent(origin); });
  }
  OriginConsentDialog* Shown() {
    QDialog* dialog = nullptr;
    WaitUntil([&] { return (dialog = prompt_.ShownDialog()) != nullptr && dialog->isVisible(); });
    return dynamic_cast<OriginConsentDialog*>(dialog);
  }
  template <class T>
  static T Answer(std::future<T>& f) {
    EXPECT_TRUE(WaitUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    return f.get();
  }

  DesktopPrompt prompt_{/*interactive=*/true};
};

TEST_F(OriginQuestion, NamesTheSiteWithThreeAnswersAndDenyAsTheDefault) {
  std::future<OriginConsent> answer = Ask("https://edo.example.ru:8443");
  OriginConsentDialog* dialog = Shown();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->windowTitle().toStdString(), "ЗУНТАР.Плагин");
  EXPECT_EQ(dialog->text().toStdString(),
            "Сайт https://edo.example.ru:8443 просит доступ к вашим сертификатам и ключам");
  EXPECT_EQ(dialog->allowAlwaysButton()->text().toStdString(), "Разрешить всегда");
  EXPECT_EQ(dialog->allowOnceButton()->text().toStdString(), "Разрешить в этот раз");
  EXPECT_EQ(dialog->denyButton()->text().toStdString(), "Запретить");
  EXPECT_TRUE(dialog->denyButton()->isDefault());
  EXPECT_FALSE(dialog->allowAlwaysButton()->isDefault());
  EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
  // A hurried Enter denies.
  QTest::keyClick(dialog, Qt::Key_Return);
  EXPECT_EQ(Answer(answer), OriginConsent::kDeny);

  const struct {
    QPushButton* (OriginConsentDialog::*button)() const;
    OriginConsent expected;
  } clicks[] = {{&OriginConsentDialog::allowAlwaysButton, OriginConsent::kAllowAlways},
                {&OriginConsentDialog::allowOnceButton, OriginConsent::kAllowOnce},
                {&OriginConsentDialog::denyButton, OriginConsent::kDeny}};
  for (const auto& c : clicks) {
    std::future<OriginConsent> clicked = Ask();
    QTest::mouseClick((Shown()->*c.button)(), Qt::LeftButton);
    EXPECT_EQ(Answer(clicked), c.expected);
  }
}

TEST_F(OriginQuestion, EscClosingAndStopGiveNoAnswer) {
  std::future<OriginConsent> escaped = Ask();
  QTest::keyClick(Shown(), Qt::Key_Escape);
  EXPECT_EQ(Answer(escaped), OriginConsent::kNoAnswer);

  std::future<OriginConsent> closed = Ask();
  Shown()->close();
  EXPECT_EQ(Answer(closed), OriginConsent::kNoAnswer);

  std::future<OriginConsent> stopped = Ask();
  ASSERT_NE(Shown(), nullptr);
  CancelAllPrompts();
  EXPECT_EQ(Answer(stopped), OriginConsent::kNoAnswer);
  EXPECT_TRUE(WaitUntil([&] { return prompt_.ShownDialog() == nullptr; }));

  DesktopPrompt offscreen(/*interactive=*/false);
  EXPECT_EQ(offscreen.AskOriginConsent("https://edo.example.ru"), OriginConsent::kNoAnswer);
}

TEST_F(OriginQuestion, AlwaysClickedAtTheDesktopIsKeptForTheUser) {
  Settings s = settings_.Get();
  s.CONFIRMORIGINS = 1;
  const OriginConsentFile file(dir_ / "origin_consent");
  TOriginGuard guard(s, file);
  std::future<OriginVerdict> request =
      std::async(std::launch::async, [&] { return guard.Check("https://edo.example.ru"); });
  QTest::mouseClick(Shown()->allowAlwaysButton(), Qt::LeftButton);
  EXPECT_EQ(Answer(request), OriginVerdict::kAllowed);
  EXPECT_EQ(file.Find("https://edo.example.ru"), OriginConsent::kAllowAlways);
  EXPECT_EQ(TOriginGuard(s, file).Check("https://edo.example.ru"), OriginVerdict::kAllowed);  // nobody asked
  EXPECT_EQ(prompt_.ShownDialog(), nullptr);
}

class RememberedSites : public test::DesktopTest {
 protected:
  RememberedSites() {
    OriginConsentFile file;
    file.Remember("https://edo.example.ru", OriginConsent::kAllowAlways);
    file.Remember("https://evil.example", OriginConsent::kDeny);
  }
  void Open() {
    window_.Open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
  }
  std::vector<std::string> Listed() const {
    std::vector<std::string> out;
    for (int i = 0; i < window_.lstOrigins->count(); ++i) out.push_back(window_.lstOrigins->item(i)->text().toStdString());
    return out;
  }
  void Revoke(int row) {
    window_.lstOrigins->setCurrentRow(row);
    ASSERT_TRUE(window_.btnRevokeOrigin->isEnabled());
    QTest::mouseClick(window_.btnRevokeOrigin, Qt::LeftButton);
  }

  test::ScopedEnv root_{"ZUNTAR_PLATFORM_ROOT", dir_.path()};
  TfrmSettings window_{settings_, instance_};
};

TEST_F(RememberedSites, AreListedAndARevocationTakesEffectAtOkOnly) {
  Open();
  EXPECT_EQ(Listed(), (std::vector<std::string>{"https://edo.example.ru — разрешён всегда",
                                                "https://evil.example — запрещён"}));
  EXPECT_FALSE(window_.btnRevokeOrigin->isEnabled());  // nothing chosen yet
  Revoke(1);
  EXPECT_EQ(Listed(), (std::vector<std::string>{"https://edo.example.ru — разрешён всегда"}));
  QTest::mouseClick(window_.btnCancel, Qt::LeftButton);
  EXPECT_EQ(OriginConsentFile().Load().size(), 2u);

  // Shown again: the list as the file has it; Ok forgets what was revoked.
  Open();
  EXPECT_EQ(Listed().size(), 2u);
  Revoke(0);
  QTest::mouseClick(window_.btnOk, Qt::LeftButton);
  EXPECT_FALSE(window_.isVisible());
  EXPECT_EQ(OriginConsentFile().Load(),
            (std::map<std::string, OriginConsent>{{"https://evil.example", OriginConsent::kDeny}}));
}

}  // namespace
}  // namespace zuntar
