#pragma once

// A window on the offscreen platform in a folder of its own, with the dialogs recorded instead
// of shown.

#include "show_reading.h"
#include "test_files.h"
#include "tform1.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <memory>

struct FormFixture {
    // `prepare` runs in the folder before the window is made.
    explicit FormFixture(ProtocolVariant variant, const QByteArray& devDat = {},
                         std::function<LocalTime()> clock = LocalTimeNow,
                         const std::function<void()>& prepare = {})
        : oldCurrent(QDir::currentPath()) {
        QDir::setCurrent(folder.path());
        if (!devDat.isNull())
            WriteAll(folder.filePath("dev.dat"), devDat);
        if (prepare)
            prepare();
        state = std::make_unique<ReaderState>(variant, std::move(clock));
        TForm1::Dialogs dialogs;
        dialogs.ErrorBox = [this](const QString& text) { errors << text; };
        dialogs.PortBox = [this](const QString& text, const QString& caption) {
            portMessages << caption + ": " + text;
        };
        form = std::make_unique<TForm1>(*state, "TITLE", dialogs);
    }
    ~FormFixture() {
        form.reset();
        QDir::setCurrent(oldCurrent);
    }
    QString Text(int panel) const { return form->Panel(panel)->text(); }
    // The request and error counters as shown, "requests/errors".
    QString Counters() const { return Text(61) + '/' + Text(62); }
    // One tick of the exchange timer; a cycle it begins is waited for.
    void Tick() {
        form->Timer4Timer();
        while (state->Exchange.InFlight())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }

    QString oldCurrent;
    QTemporaryDir folder;
    QStringList errors;
    QStringList portMessages;
    std::unique_ptr<ReaderState> state;
    std::unique_ptr<TForm1> form;
};
