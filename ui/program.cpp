#include "tform1.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int g_signalPipe[2] = {-1, -1};
bool g_quitRequested = false;

void OnQuitSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM close the window as its close box does, so the port is closed and the
// settings are saved. The handler only writes a byte; the windows are closed from the event
// loop, including a message box that start-up may be showing.
void CloseOnQuitSignals(QApplication& app) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = read(g_signalPipe[0], &byte, 1);
        g_quitRequested = true;
        QApplication::closeAllWindows();
    });
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

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
// display, no Wayland socket) ends in a fatal message and an abort: the run is reported in one
// line and ends with status 1, as a failure rather than a crash. Other messages are passed on
// once the application stands.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage> g_heldMessages;

void HoldStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        std::fputs("cannot open a window: no display\n", stderr);
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
        CloseOnQuitSignals(app);
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
