#include "tform1.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

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

void ShowErrorBox(const char* title, const QString& text) {
    QMessageBox::critical(nullptr, QString::fromUtf8(title), text, QMessageBox::Ok);
}

} // namespace

int RunReaderProgram(int argc, char** argv, ProtocolVariant variant, const char* title) {
    QApplication app(argc, argv);
    try {
        QApplication::setApplicationName(QString::fromUtf8(title));
        CloseOnQuitSignals(app);
        ReaderState state(variant);
        TForm1 form(state, QString::fromUtf8(title));
        if (!g_quitRequested) { // a signal during start-up ends the program at once
            form.show();
            app.exec();
        }
        // Leaving this scope destroys the window, which closes the port and saves the settings.
    } catch (const std::exception& error) {
        ShowErrorBox(title, QString::fromLocal8Bit(error.what()));
    }
    return 0;
}
