#pragma once
// Errors the user is told of: the one type the program throws with a message of its own, the
// wrapper every event handler runs in, and the error box that ends an action.

#include <QString>

#include <stdexcept>

// An error with a message meant for the user.
class OmbrixError : public std::runtime_error
{
public:
    explicit OmbrixError(const QString& message)
      : std::runtime_error(message.toStdString())
      , message_(message)
    {
    }
    const QString& message() const { return message_; }

private:
    QString message_;
};

// The error box with one OK button; the event loop goes on.
void showError(const QString& message);

// The message of the error being handled, in the user's words (a platform failure's reason goes
// to the log); call only from inside a catch block.
QString currentErrorMessage();

// Shows the error that is being handled; call only from inside a catch block.
void showCurrentError();

// Runs one event handler. An error that escapes it ends the handler and is shown by the default
// error handler, so the rest of that action is skipped and the program goes on. Handlers are
// wrapped at their entry because errors must not travel through the toolkit's own frames.
template<class F>
void guarded(F&& handler)
{
    try {
        handler();
    } catch (...) {
        showCurrentError();
    }
}
