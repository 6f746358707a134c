#include "host/desktop/desktop_prompt.h"

#include <QDialogButtonBox>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>

#include "core/log.h"
#include "core/process_values.h"
#include "core/utf.h"
#include "host/desktop/origin_consent_dialog.h"
#include "host/desktop/question_dialog.h"

namespace zuntar {

struct DesktopPrompt::Question {
  Maker make;
  Reader read;
  // Under the prompt's mutex.
  bool done = false;
  bool cancelled = false;
  Answer answer;
  // GUI thread only.
  QPointer<QDialog> dialog;
  QEventLoop* loop = nullptr;
};

namespace {

QString Q(const std::string& utf8) {
  QString text = QString::fromStdString(utf8);
  text.replace("\r\n", "\n");
  return text;
}

bool Russian() { return Startup().IsCP1251; }

QDialog* TwoButtonBox(QMessageBox::Icon icon, const std::string& caption, const std::string& message,
                      const std::string& ok, const std::string& cancel) {
  return new QuestionDialog(icon, Q(caption), Q(message), Q(ok), Q(cancel));
}

using Answer = DesktopPrompt::Answer;

Answer Accepted(QDialog*, int result) { return Answer{result == QDialog::Accepted, {}}; }

QDialog* PinDialog(const std::string& container, bool retry) {
  const bool ru = Russian();
  auto* dialog =
      new QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  dialog->setObjectName("pinDialog");
  dialog->setWindowTitle(Q(ru ? "Ввод PIN-кода" : "PIN entry"));
  auto* layout = new QVBoxLayout(dialog);
  std::string text = retry ? (ru ? "Неверный PIN-код. " : "Wrong PIN. ") : "";
  text += (ru ? "Введите PIN-код ключевого контейнера\n" : "Enter the PIN of the key container\n") + container;
  layout->addWidget(new QLabel(Q(text), dialog));
  auto* edit = new QLineEdit(dialog);
  edit->setObjectName("edtPin");
  edit->setEchoMode(QLineEdit::Password);
  edit->setMinimumWidth(280);
  layout->addWidget(edit);
  auto* buttons = new QDialogButtonBox(dialog);
  QPushButton* ok = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
  ok->setDefault(true);
  buttons->addButton(Q(ru ? "Отмена" : "Cancel"), QDialogButtonBox::RejectRole);
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return dialog;
}

void Centre(QDialog* dialog) {
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    dialog->move(screen->availableGeometry().center() - QPoint(dialog->width() / 2, dialog->height() / 2));
}

}  // namespace

DesktopPrompt::DesktopPrompt(bool interactive) : interactive_(interactive) {}

DesktopPrompt::~DesktopPrompt() {
  Close();
  MutexLock lock(mu_);
  while (in_flight_ != 0) changed_.Wait(mu_);
}

bool DesktopPrompt::Interactive() const {
  MutexLock lock(mu_);
  return interactive_ && !closed_;
}

void DesktopPrompt::Close() {
  QPointer<QDialog> shown;
  {
    MutexLock lock(mu_);
    closed_ = true;
    if (current_) {
      current_->cancelled = true;
      shown = current_->dialog;
    }
    changed_.NotifyAll();
  }
  // The event loop may be over: a dialog still open goes now.
  if (shown && QThread::currentThread() == thread()) delete shown.data();
}

void DesktopPrompt::CancelShown() {
  MutexLock lock(mu_);
  if (!current_) return;
  current_->cancelled = true;
  changed_.NotifyAll();
  // The dialog goes away on the GUI thread; nobody waits for that here.
  QMetaObject::invokeMethod(
      this,
      [question = current_] {
        if (question->dialog) question->dialog->reject();
        if (question->loop != nullptr) question->loop->quit();
      },
      Qt::QueuedConnection);
}

QDialog* DesktopPrompt::ShownDialog() const {
  MutexLock lock(mu_);
  return current_ ? current_->dialog.data() : nullptr;
}

Answer DesktopPrompt::Ask(Maker make, Reader read) {
  auto question = std::make_shared<Question>();
  question->make = std::move(make);
  question->read = std::move(read);
  {
    MutexLock lock(mu_);
    if (!interactive_ || closed_) return {};
    current_ = question;
    ++in_flight_;
  }
  if (QThread::currentThread() == thread()) {
    WaitOnGuiThread(question);
  } else {
    QMetaObject::invokeMethod(
        this, [this, question] { Show(question); }, Qt::QueuedConnection);
    MutexLock lock(mu_);
    while (!question->done && !question->cancelled && !closed_) changed_.Wait(mu_);
  }
  MutexLock lock(mu_);
  if (current_ == question) current_.reset();
  --in_flight_;
  changed_.NotifyAll();
  return question->cancelled || closed_ ? Answer{} : question->answer;
}

void DesktopPrompt::WaitOnGuiThread(const std::shared_ptr<Question>& question) {
  QEventLoop loop;
  question->loop = &loop;
  Show(question);
  {
    MutexLock lock(mu_);
    if (question->done || question->cancelled) {
      question->loop = nullptr;
      if (question->dialog) question->dialog->reject();
      return;
    }
  }
  loop.exec();
  question->loop = nullptr;
  if (question->dialog && question->dialog->isVisible()) question->dialog->reject();
}

void DesktopPrompt::Show(const std::shared_ptr<Question>& question) {
  {
    MutexLock lock(mu_);
    if (question->cancelled) return;
  }
  QDialog* dialog = question->make();
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowFlag(Qt::WindowStaysOnTopHint);
  // Only the asking thread waits: the tray, its Exit and the settings window
  // go on working.
  dialog->setWindowModality(Qt::NonModal);
  question->dialog = dialog;
  connect(dialog, &QDialog::finished, this, [this, question, dialog](int result) {
    {
      MutexLock lock(mu_);
      if (question->done) return;  // closed again after the answer
    }
    Answer answer = question->read(dialog, result);
    MutexLock lock(mu_);
    question->answer = std::move(answer);
    question->done = true;
    changed_.NotifyAll();
    if (question->loop != nullptr) question->loop->quit();
  });
  dialog->show();
  Centre(dialog);
  dialog->raise();
  dialog->activateWindow();
}

bool DesktopPrompt::Confirm(const std::string& caption, const std::string& message, const std::string& ok_text,
                            const std::string& cancel_text) {
  return Ask([=] { return TwoButtonBox(QMessageBox::Question, caption, message, ok_text, cancel_text); }, Accepted)
      .accepted;
}

bool DesktopPrompt::ConfirmOkCancel(const std::string& caption, const std::string& message) {
  // The system's message box as a Russian system shows it.
  return Ask([=] { return TwoButtonBox(QMessageBox::NoIcon, caption, message, "OK", "Отмена"); }, Accepted).accepted;
}

OriginConsent DesktopPrompt::AskOriginConsent(const std::string& origin) {
  // Without a desktop the caller refuses the site and logs why.
  if (!Interactive()) return OriginConsent::kNoAnswer;
  return Ask([=] { return new OriginConsentDialog(origin); },
             [](QDialog*, int result) {
               const OriginConsent consent = OriginConsentDialog::AnswerOf(result);
               return Answer{consent != OriginConsent::kNoAnswer, {}, consent};
             })
      .consent;
}

bool DesktopPrompt::InsertMedia(const std::string& container) {
  if (!Interactive()) {
    LogEvent(AnsiFromUtf8("Нет рабочего стола пользователя: запрос ключевого носителя отменён, контейнер ") +
             AnsiFromUtf8(container));
    return false;
  }
  const bool ru = Russian();
  const std::string message =
      (ru ? "Вставьте ключевой носитель с контейнером\n" : "Insert the key media holding the container\n") + container;
  return Ask(
             [=] {
               return TwoButtonBox(QMessageBox::Information, ru ? "Ключевой носитель" : "Key media", message, "OK",
                                   ru ? "Отмена" : "Cancel");
             },
             Accepted)
      .accepted;
}

std::optional<std::string> DesktopPrompt::AskPin(const std::string& container, bool retry) {
  if (!Interactive()) {
    LogEvent(AnsiFromUtf8("Нет рабочего стола пользователя: запрос PIN-кода отменён, контейнер ") +
             AnsiFromUtf8(container));
    return std::nullopt;
  }
  const Answer answer = Ask([=] { return PinDialog(container, retry); },
                            [](QDialog* d, int result) {
                              auto* edit = d->findChild<QLineEdit*>("edtPin");
                              Answer a{result == QDialog::Accepted, edit->text().toStdString()};
                              edit->clear();
                              return a;
                            });
  if (!answer.accepted) return std::nullopt;
  return answer.text;
}

}  // namespace zuntar
