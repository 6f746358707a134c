// The desktop's questions: asked from worker threads and answered on the
// GUI thread, their buttons and keys, one at a time, and cancelled by Stop
// and Exit whether on screen or not yet.
#include "host/desktop/desktop_prompt.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <future>
#include <thread>

#include "desktop_fixture.h"
#include "host/desktop/question_dialog.h"
#include "tasks/key_media.h"

namespace zuntar {
namespace {

using test::WaitUntil;

class Prompt : public test::DesktopTest {
 protected:
  Prompt() { SetUserPrompt(&prompt_); }
  ~Prompt() override {
    AllowPrompts();
    SetUserPrompt(nullptr);
  }

  // The dialog of the question on screen, once it is there.
  QDialog* Shown() {
    QDialog* dialog = nullptr;
    WaitUntil([&] { return (dialog = prompt_.ShownDialog()) != nullptr && dialog->isVisible(); });
    return dialog;
  }

  static std::future<bool> Confirm() {
    return std::async(std::launch::async, [] {
      return CurrentUserPrompt().Confirm(kKeyMediaCaption, "Вставьте носитель\r\nи нажмите кнопку",
                                         kKeyMediaSearchButton, kKeyMediaCancelButton);
    });
  }

  template <class T>
  static bool Ready(std::future<T>& f) {
    return WaitUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
  }

  DesktopPrompt prompt_{/*interactive=*/true};
};

TEST_F(Prompt, KeyMediaQuestionHasItsButtonsInFrontAndCentred) {
  std::future<bool> answer = Confirm();
  auto* box = dynamic_cast<QuestionDialog*>(Shown());
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle().toStdString(), "ЗУНТАР.Плагин. Требуется установить ключ!");
  EXPECT_EQ(box->text().toStdString(), "Вставьте носитель\nи нажмите кнопку");
  EXPECT_EQ(box->icon(), QMessageBox::Question);
  EXPECT_EQ(box->okButton()->text().toStdString(), "Поиск ключа");
  EXPECT_TRUE(box->okButton()->isDefault());
  EXPECT_EQ(box->cancelButton()->text().toStdString(), "Отмена");
  EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(box->windowModality(), Qt::NonModal);
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE(std::abs(box->geometry().center().x() - screen.center().x()), 2);
  // Only the asking thread waits: the GUI thread goes on.
  EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  QTest::keyClick(box, Qt::Key_Return);
  ASSERT_TRUE(Ready(answer));
  EXPECT_TRUE(answer.get());
}

TEST_F(Prompt, EscAndClosingTheWindowAnswerCancel) {
  std::future<bool> escaped = Confirm();
  QTest::keyClick(Shown(), Qt::Key_Escape);
  ASSERT_TRUE(Ready(escaped));
  EXPECT_FALSE(escaped.get());

  std::future<bool> closed = Confirm();
  Shown()->close();
  ASSERT_TRUE(Ready(closed));
  EXPECT_FALSE(closed.get());
}

TEST_F(Prompt, SystemBoxHasOkAndRussianCancel) {
  std::future<bool> answer =
      std::async(std::launch::async, [] { return CurrentUserPrompt().ConfirmOkCancel("caption", "text"); });
  auto* box = dynamic_cast<QuestionDialog*>(Shown());
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
  EXPECT_EQ(box->okButton()->text().toStdString(), "OK");
  EXPECT_EQ(box->cancelButton()->text().toStdString(), "Отмена");
  QTest::mouseClick(box->okButton(), Qt::LeftButton);
  ASSERT_TRUE(Ready(answer));
  EXPECT_TRUE(answer.get());
}

TEST_F(Prompt, PinIsNotEchoedNotLoggedAndCancelGivesNothing) {
  std::future<std::optional<std::string>> pin =
      std::async(std::launch::async, [] { return CurrentUserPrompt().AskPin("\\\\.\\FAT12_A\\ivanov", true); });
  QDialog* dialog = Shown();
  ASSERT_NE(dialog, nullptr);
  auto* edit = dialog->findChild<QLineEdit*>("edtPin");
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
  QTest::keyClicks(edit, "5791");
  edit->insert(QString::fromUtf8("Ж"));
  QTest::keyClick(edit, Qt::Key_Return);
  ASSERT_TRUE(Ready(pin));
  EXPECT_EQ(pin.get(), "5791Ж");
  EXPECT_EQ(Log().find("5791"), std::string::npos);

  std::future<std::optional<std::string>> cancelled =
      std::async(std::launch::async, [] { return CurrentUserPrompt().AskPin("c", false); });
  QTest::keyClicks(Shown()->findChild<QLineEdit*>("edtPin"), "99");
  QTest::keyClick(Shown(), Qt::Key_Escape);
  ASSERT_TRUE(Ready(cancelled));
  EXPECT_EQ(cancelled.get(), std::nullopt);
}

TEST_F(Prompt, InsertMediaNamesTheContainer) {
  std::future<bool> answer =
      std::async(std::launch::async, [] { return CurrentUserPrompt().InsertMedia("\\\\.\\FAT12_A\\petrov"); });
  auto* box = dynamic_cast<QuestionDialog*>(Shown());
  ASSERT_NE(box, nullptr);
  EXPECT_NE(box->text().toStdString().find("\\\\.\\FAT12_A\\petrov"), std::string::npos);
  QTest::keyClick(box, Qt::Key_Return);
  ASSERT_TRUE(Ready(answer));
  EXPECT_TRUE(answer.get());
}

TEST_F(Prompt, OneQuestionAtATimeAndStopCancelsTheShownAndTheWaiting) {
  std::future<bool> first = Confirm();
  QDialog* shown = Shown();
  ASSERT_NE(shown, nullptr);
  std::future<bool> second = Confirm();
  QTest::qWait(100);
  int visible = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) visible += qobject_cast<QDialog*>(w) && w->isVisible();
  EXPECT_EQ(visible, 1);

  CancelAllPrompts();  // Stop or Exit
  ASSERT_TRUE(Ready(first));
  ASSERT_TRUE(Ready(second));
  EXPECT_FALSE(first.get());
  EXPECT_FALSE(second.get());
  EXPECT_TRUE(WaitUntil([&] { return prompt_.ShownDialog() == nullptr; }));
  QTest::qWait(50);
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(qobject_cast<QDialog*>(w) && w->isVisible());
}

TEST_F(Prompt, CancelBeforeTheDialogAppearsKeepsItFromAppearing) {
  // The GUI thread is busy (no events run) while the question is asked and
  // cancelled: the asker is answered at once and the queued dialog never shows.
  std::future<bool> answer = Confirm();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(prompt_.ShownDialog(), nullptr);
  CancelAllPrompts();
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(answer.get());
  QTest::qWait(100);
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(qobject_cast<QDialog*>(w) && w->isVisible());
}

TEST_F(Prompt, AskedOnTheGuiThreadItselfWaitsInALocalLoop) {
  QTimer::singleShot(0, [&] {
    QDialog* dialog = nullptr;
    WaitUntil([&] { return (dialog = prompt_.ShownDialog()) != nullptr && dialog->isVisible(); });
    if (dialog != nullptr) QTest::keyClick(dialog, Qt::Key_Return);
  });
  EXPECT_TRUE(CurrentUserPrompt().ConfirmOkCancel("caption", "asked by the GUI thread"));
}

TEST_F(Prompt, WithoutADesktopEveryQuestionIsCancelledAtOnceAndLogged) {
  DesktopPrompt offscreen(/*interactive=*/false);
  SetUserPrompt(&offscreen);
  EXPECT_FALSE(CurrentUserPrompt().Interactive());
  EXPECT_FALSE(CurrentUserPrompt().InsertMedia("box"));
  EXPECT_EQ(CurrentUserPrompt().AskPin("box", false), std::nullopt);
  EXPECT_FALSE(CurrentUserPrompt().Confirm("c", "m", "ok", "no"));
  EXPECT_NE(Log().find("запрос ключевого носителя отменён, контейнер box"), std::string::npos) << Log();
  EXPECT_NE(Log().find("запрос PIN-кода отменён, контейнер box"), std::string::npos) << Log();
  SetUserPrompt(&prompt_);
}

}  // namespace
}  // namespace zuntar
