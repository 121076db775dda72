#include "tform1.h"
#include "show_reading.h"

#include "dial_icon.h"
#include "list_positions.h"

#include <algorithm>

#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

const char* const TForm1::kCaption = "Чтение показания прибора ГРАЛИКС 77     командой > V2";
const char* const TForm1::kStartCaption = "Начать обмен";
const char* const TForm1::kStopCaption = "Закончить обмен";
const char* const TForm1::kSendingStatus = "Передача запроса";
const char* const TForm1::kAnsweredStatus = "Пришел ответ";
const char* const TForm1::kParsedStatus = "Ответ разобран";
const char* const TForm1::kParseFailedStatus = "Ошибка при разборе ответа";
const char* const TForm1::kNoAnswerStatus = "Ответа нет";

namespace {

constexpr int kIdleIntervalMs = 50;
constexpr int kCycleIntervalMs = 500;

// The window's font: a narrow sans face with Cyrillic, 13-pixel text lines, so the captions
// fit the designed widths.
QFont WindowFont() {
    QFont font("DejaVu Sans Condensed");
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

QIcon MakeIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    PaintDialIcon(painter, 32);
    return QIcon(pixmap);
}

} // namespace

namespace {

// One control of the table, made as its kind says, with its caption; placed by the caller.
QWidget* MakeWidget(const ControlRow& row, QWidget* parent) {
    const QString caption = QString::fromUtf8(row.Caption.c_str());
    switch (row.Kind) {
    case ControlKind::Label:
        return new QLabel(caption, parent);
    case ControlKind::Rule: {
        auto* line = new QLabel(parent);
        line->setAutoFillBackground(true);
        QPalette palette = line->palette();
        palette.setColor(QPalette::Window, Qt::black);
        line->setPalette(palette);
        return line;
    }
    case ControlKind::FramedPanel:
    case ControlKind::Panel:
    case ControlKind::RaisedPanel: {
        auto* panel = new QLabel(caption, parent);
        panel->setAlignment(Qt::AlignCenter);
        panel->setAutoFillBackground(true);
        if (row.Kind == ControlKind::FramedPanel)
            panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        else if (row.Kind == ControlKind::RaisedPanel)
            panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
        SetPanelColour(panel, PanelColour::ButtonFace);
        return panel;
    }
    case ControlKind::Button: {
        auto* button = new QPushButton(caption, parent);
        button->setAutoDefault(false);
        return button;
    }
    case ControlKind::ComboBox: {
        auto* list = new QComboBox(parent);
        list->addItems(caption.split('|'));
        list->setMaxVisibleItems(row.VisibleItems);
        list->setCurrentIndex(-1);
        return list;
    }
    case ControlKind::StatusBar: {
        auto* bar = new QStatusBar(parent);
        bar->setSizeGripEnabled(false);
        return bar;
    }
    }
    return nullptr;
}

} // namespace

TForm1::TForm1(ReaderState& state, const QString& title, Dialogs dialogs)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      m_state(state), m_title(title), m_dialogs(std::move(dialogs)) {
    if (!m_dialogs.ErrorBox)
        m_dialogs.ErrorBox = [this](const QString& text) {
            QMessageBox::critical(this, m_title, text, QMessageBox::Ok);
        };
    if (!m_dialogs.PortBox)
        m_dialogs.PortBox = [this](const QString& text, const QString& caption) {
            QMessageBox::critical(this, caption, text, QMessageBox::Ok);
        };
    m_state.Port.SetMessageBox(m_dialogs.PortBox);
    m_state.Exchange.AddListener(this);

    setObjectName("Form1");
    setWindowTitle(QString::fromUtf8(kCaption));
    setWindowIcon(MakeIcon());
    setFont(WindowFont());
    resize(kClientWidth, kDesignedClientHeight); // FormCreate sets the final size
    BuildControls();

    Timer4 = new QTimer(this);
    Timer4->setObjectName("Timer4");
    // A coarse timer may fire up to 5 % early; the 500 ms pause between cycles is kept exactly.
    Timer4->setTimerType(Qt::PreciseTimer);
    Timer4->setInterval(kIdleIntervalMs);
    connect(Timer4, &QTimer::timeout, this, [this] { Guarded([this] { Timer4Timer(); }); });
    Timer4->start();

    Guarded([this] { FormCreate(); });
}

TForm1::~TForm1() {
    if (!m_destroyed)
        FormDestroy();
}

void TForm1::BuildControls() {
    for (const ControlRow& row : FormControls()) {
        QWidget* parent = row.Parent.empty() ? this : m_controls.at(row.Parent);
        QWidget* widget = MakeWidget(row, parent);
        const QString caption = QString::fromUtf8(row.Caption.c_str());
        widget->setObjectName(QString::fromStdString(row.Name));
        int width = row.Rect.Width;
        if (row.Kind == ControlKind::Label) // labels size themselves to their text
            width = std::max(width, widget->fontMetrics().horizontalAdvance(caption) + 1);
        widget->setGeometry(row.Rect.Left, row.Rect.Top, width, row.Rect.Height);
        m_controls[row.Name] = widget;
    }

    // The legend's samples and the status number panel have their own colours and font.
    SetPanelColour(Panel(102), PanelColour::White);
    SetPanelColour(Panel(104), PanelColour::Red);
    SetPanelColour(Panel(105), PanelColour::Red);
    SetPanelColour(Panel(106), PanelColour::Yellow);
    SetPanelColour(Panel(kStatusNumberPanel), PanelColour::White);
    QFont big = WindowFont();
    big.setPixelSize(20);
    Panel(kStatusNumberPanel)->setFont(big);
    // The "+" key lamp was designed in "SF Sans Serif"; a machine that has it shows it, any other
    // falls back to the window's face.
    QFont keyFont = WindowFont();
    keyFont.setFamilies({"SF Sans Serif", WindowFont().family()});
    Panel(kPlusKeyPanel)->setFont(keyFont);

    Button1 = static_cast<QPushButton*>(m_controls.at("Button1"));
    Button2 = static_cast<QPushButton*>(m_controls.at("Button2"));
    ComboBox1 = static_cast<QComboBox*>(m_controls.at("ComboBox1"));
    ComboBox2 = static_cast<QComboBox*>(m_controls.at("ComboBox2"));
    ComboBox3 = static_cast<QComboBox*>(m_controls.at("ComboBox3"));
    StatusBar1 = static_cast<QStatusBar*>(m_controls.at("StatusBar1"));

    // Only the operator's picks run the handlers; selecting from the program does not.
    connect(Button1, &QPushButton::clicked, this,
            [this] { OperatorInput([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this,
            [this] { OperatorInput([this] { Button2Click(); }); });
    connect(ComboBox1, &QComboBox::activated, this,
            [this](int i) { OperatorInput([this, i] { ComboBox1Change(i); }); });
    connect(ComboBox2, &QComboBox::activated, this,
            [this](int i) { OperatorInput([this, i] { ComboBox2Change(i); }); });
    connect(ComboBox3, &QComboBox::activated, this,
            [this](int i) { OperatorInput([this, i] { ComboBox3Change(i); }); });

    setTabOrder(ComboBox2, ComboBox1);
    setTabOrder(ComboBox1, ComboBox3);
    setTabOrder(ComboBox3, Button1);
    setTabOrder(Button1, Button2);
}

QLabel* TForm1::Panel(int number) const {
    return static_cast<QLabel*>(m_controls.at(std::string("Panel").append(std::to_string(number))));
}

QWidget* TForm1::Control(const std::string& name) const {
    const auto it = m_controls.find(name);
    return it == m_controls.end() ? nullptr : it->second;
}

void TForm1::Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        m_dialogs.ErrorBox(QString::fromLocal8Bit(error.what()));
    }
}

void TForm1::FormCreate() {
    setFixedSize(kClientWidth, kClientHeight);

    AppSettings& settings = m_state.Settings;
    LoadSettings(settings, m_state.SettingsPath);

    // A value a list does not offer leaves it without a selection.
    ComboBox1->setCurrentIndex(PortListPosition(settings.Port));
    ComboBox2->setCurrentIndex(SpeedListPosition(settings.Spd));
    ComboBox3->setCurrentIndex(settings.NetAdrr < ComboBox3->count() ? settings.NetAdrr : -1);

    m_state.Port.ReopenPort(settings.Spd, settings.Port, settings.TimeOut);
    m_state.Port.RaiseDtrRts();

    Button1->setText(QString::fromUtf8(kStartCaption));
    m_state.ExchangeActive = 0;
    m_state.Counters.Reset();
    ShowCounters();
    ShowReading(Panels(), m_state.Reading);
}

void TForm1::OperatorInput(std::function<void()> handler) {
    m_waitingInput.push_back(std::move(handler));
    RunWaitingInput();
}

void TForm1::RunWaitingInput() {
    // A handler that opens a modal box lets cycles run meanwhile; a nested call leaves the rest
    // of the queue to the outer one, which checks again for a cycle in flight.
    if (m_runningInput)
        return;
    m_runningInput = true;
    while (!m_waitingInput.empty() && !m_state.Exchange.InFlight()) {
        const std::function<void()> handler = std::move(m_waitingInput.front());
        m_waitingInput.pop_front();
        Guarded(handler);
    }
    m_runningInput = false;
}

void TForm1::closeEvent(QCloseEvent* event) {
    m_closing = true;
    Timer4->stop();
    m_state.Exchange.Abort();
    RunWaitingInput();
    m_state.Exchange.Abort(); // a cycle a modal box of that input let start
    QWidget::closeEvent(event);
}

void TForm1::FormDestroy() {
    m_destroyed = true;
    m_closing = true;
    Timer4->stop();
    m_state.Exchange.Abort();
    m_state.Port.Close();
    Guarded([this] { SaveSettings(m_state.Settings, m_state.SettingsPath); });
}

void TForm1::ShowCounters() {
    Panel(kRequestCountPanel)->setText(QString::number(m_state.Counters.RequestCount));
    Panel(kErrorCountPanel)->setText(QString::number(m_state.Counters.ErrorCount));
}

void TForm1::SetStatusText(const QString& text) {
    StatusBar1->showMessage(text);
    // Each status is painted as it is set, even the ones the same step replaces at once.
    StatusBar1->repaint();
}

void TForm1::Button1Click() {
    if (m_state.ExchangeActive == 1) {
        m_state.ExchangeActive = 0; // the counters and the status stay
        Button1->setText(QString::fromUtf8(kStartCaption));
    } else if (m_state.ExchangeActive == 0) {
        m_state.ExchangeActive = 1;
        m_state.Counters.Reset();
        Button1->setText(QString::fromUtf8(kStopCaption));
        ShowCounters();
    }
}

void TForm1::ReopenAfterListChange() {
    AppSettings& s = m_state.Settings;
    if (TraitsOf(m_state.Variant).ListPickUsesOpenPort)
        m_state.Port.OpenPort(s.Port, s.Spd, 8, 0, 1, s.TimeOut);
    else
        m_state.Port.ReopenPort(s.Spd, s.Port, s.TimeOut);
}

void TForm1::ComboBox1Change(int index) {
    m_state.Settings.Port = PortAtListPosition(index);
    ReopenAfterListChange();
}

void TForm1::ComboBox2Change(int index) {
    m_state.Settings.Spd = SpeedAtListPosition(index);
    ReopenAfterListChange();
}

void TForm1::ComboBox3Change(int index) {
    m_state.Settings.NetAdrr = index < 0 ? 1 : index;
}

void TForm1::Timer4Timer() {
    if (m_closing || m_state.Exchange.InFlight())
        return;
    if (m_state.ExchangeActive == 0) {
        Timer4->setInterval(kIdleIntervalMs);
        return;
    }
    Timer4->stop();
    Timer4->setInterval(kCycleIntervalMs);
    m_state.BeginExchange([this](const ExchangeRecord&) { EndCycle(); });
}

void TForm1::RequestSending(const ExchangeRecord&) {
    SetStatusText(QString::fromUtf8(kSendingStatus));
}

void TForm1::ExchangeEnded(const ExchangeRecord& record) {
    if (record.Answer.empty()) {
        SetStatusText(QString::fromUtf8(kNoAnswerStatus));
        return;
    }
    // Whatever the parse gave is painted, then told.
    SetStatusText(QString::fromUtf8(kAnsweredStatus));
    ShowReading(Panels(), m_state.Reading);
    SetStatusText(QString::fromUtf8(record.Outcome == ExchangeOutcome::Ok ? kParsedStatus
                                                                          : kParseFailedStatus));
}

void TForm1::EndCycle() {
    // The next cycle begins 500 ms from the end of this one.
    if (!m_closing)
        Timer4->start();
    ShowCounters();
    emit CycleEnded();
    RunWaitingInput();
}
