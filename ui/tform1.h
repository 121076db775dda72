#pragma once

#include "form_layout.h"
#include "reader_state.h"
#include "show_reading.h"

#include <QLabel>
#include <QWidget>

#include <deque>
#include <functional>
#include <map>

class QComboBox;
class QPushButton;
class QStatusBar;
class QTimer;

// The main window. Its controls come from FormControls(); its handlers are the operator's
// clicks and list picks and the ticks of the exchange timer Timer4.
class TForm1 : public QWidget, public ExchangeListener {
    Q_OBJECT
public:
    static const char* const kCaption;      // the window caption
    static const char* const kStartCaption; // "Начать обмен"
    static const char* const kStopCaption;  // "Закончить обмен"
    // The status line during an exchange.
    static const char* const kSendingStatus;     // "Передача запроса"
    static const char* const kAnsweredStatus;    // "Пришел ответ"
    static const char* const kParsedStatus;      // "Ответ разобран"
    static const char* const kParseFailedStatus; // "Ошибка при разборе ответа"
    static const char* const kNoAnswerStatus;    // "Ответа нет"

    // How errors reach the operator; tests replace the modal boxes.
    struct Dialogs {
        std::function<void(const QString& text)> ErrorBox; // caption: the program title
        SerialPort::MessageBox PortBox;
    };

    // Builds the window and runs FormCreate.
    TForm1(ReaderState& state, const QString& title, Dialogs dialogs = {});
    // Runs FormDestroy unless it has run.
    ~TForm1() override;

    void FormCreate();
    void FormDestroy();
    void Button1Click();
    void Button2Click() {}
    void ComboBox1Change(int index);
    void ComboBox2Change(int index);
    void ComboBox3Change(int index);
    void Timer4Timer();

    QLabel* Panel(int number) const;
    // Every panel by its number, for painting a reading.
    PanelLookup Panels() const {
        return [this](int number) { return Panel(number); };
    }
    QWidget* Control(const std::string& name) const;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QComboBox* ComboBox2 = nullptr;
    QComboBox* ComboBox3 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QTimer* Timer4 = nullptr;

    ReaderState& State() const { return m_state; }
    QString Title() const { return m_title; }

    void SetStatusText(const QString& text);
    void ShowCounters();

    // The exchange's steps as the status line and the panels show them.
    void RequestSending(const ExchangeRecord& record) override;
    void ExchangeEnded(const ExchangeRecord& record) override;

signals:
    // A cycle of the exchange has ended: the timer runs again and the counters are shown.
    void CycleEnded();

protected:
    // A close request (close box, SIGTERM, SIGINT) during an exchange ends its read at once; the
    // cycle finishes with what had arrived, then the window closes.
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    // Runs a handler; an error that escapes it is shown in the error box and the program goes on.
    void Guarded(const std::function<void()>& handler);
    // Operator input (button, lists) runs between exchanges only, in the order given: during
    // an exchange it waits for the cycle to end, as it would behind a blocking read.
    void OperatorInput(std::function<void()> handler);
    void RunWaitingInput();
    void EndCycle();
    void ReopenAfterListChange();

    ReaderState& m_state;
    QString m_title;
    Dialogs m_dialogs;
    std::map<std::string, QWidget*> m_controls;
    std::deque<std::function<void()>> m_waitingInput;
    bool m_runningInput = false;
    bool m_closing = false;
    bool m_destroyed = false;
};
