#include "program.h"
#include "tform1.h"

#include "quit_request.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

bool g_quitRequested = false;

// A message for the operator: a modal box, or once a signal has asked the program to end, a
// line on stderr, since nobody may be there to press OK.
void Tell(QWidget* parent, const QString& caption, const QString& text) {
    if (g_quitRequested) {
        std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(),
                     text.toLocal8Bit().constData());
        return;
    }
    QMessageBox::critical(parent, caption, text, QMessageBox::Ok);
}

// Qt's messages while the application object is made. A platform that cannot start (no X
// display, no Wayland socket, a display that refused the connection) ends in a fatal message
// and an abort: the run is reported in a fixed line followed by the platform's own reasons,
// and ends with status 1, as a failure rather than a crash. Other messages are passed on once
// the application stands.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage> g_heldMessages;

void HoldStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fputs("cannot open a window: no display\n", stderr);
        bool reasonGiven = false;
        for (const HeldMessage& held : g_heldMessages)
            if (held.type != QtDebugMsg && held.type != QtInfoMsg) {
                std::fprintf(stderr, "%s: %s\n", held.category.constData(),
                             held.text.toLocal8Bit().constData());
                reasonGiven = true;
            }
        if (!reasonGiven) // the fatal message's first line, without Qt's advice after it
            std::fprintf(stderr, "%s\n", text.section('\n', 0, 0).toLocal8Bit().constData());
        std::_Exit(1);
    }
    g_heldMessages.push_back({type, context.category, text});
}

void PassOnHeldMessages(QtMessageHandler previous) {
    qInstallMessageHandler(previous);
    for (const HeldMessage& message : g_heldMessages)
        qt_message_output(message.type,
                          QMessageLogContext(nullptr, 0, nullptr, message.category.constData()),
                          message.text);
    g_heldMessages.clear();
}

} // namespace

int RunReaderProgram(int argc, char** argv, ProtocolVariant variant, const char* title,
                     const std::function<void(TForm1&)>& shown) {
    const QtMessageHandler previous = qInstallMessageHandler(HoldStartupMessage);
    QApplication app(argc, argv);
    PassOnHeldMessages(previous);
    const QString caption = QString::fromUtf8(title);
    try {
        QApplication::setApplicationName(caption);
        // A request to end from outside closes the windows as their close boxes do, so the port
        // is closed and the settings are saved; a message box start-up shows is closed too.
        OnQuitRequest(&app, [] {
            g_quitRequested = true;
            QApplication::closeAllWindows();
        });
        ReaderState state(variant);
        QPointer<QWidget> window; // the boxes' parent once the window stands
        TForm1::Dialogs dialogs;
        dialogs.ErrorBox = [&](const QString& text) { Tell(window, caption, text); };
        dialogs.PortBox = [&](const QString& text, const QString& boxCaption) {
            Tell(window, boxCaption, text);
        };
        TForm1 form(state, caption, dialogs);
        window = &form;
        if (!g_quitRequested) { // a signal during start-up ends the program at once
            form.show();
            if (shown)
                shown(form);
            app.exec();
        }
        // Leaving this scope destroys the window, which closes the port and saves the settings.
    } catch (const std::exception& error) {
        Tell(nullptr, caption, QString::fromLocal8Bit(error.what()));
    }
    return 0;
}
