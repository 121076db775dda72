#include "form_fixture.h"
#include "parser.h"

#include <QComboBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include <limits>

namespace {

// The designed window, one control per line: name, left, top, width, height, caption.
const char* const kDesign[] = {
    "Button2 10 5 136 21 Смена размера окна",
    "Label3 234 3 77 13 Сетевой номер",
    "ComboBox3 318 0 57 21",
    "Button1 385 4 129 25 Начать обмен",
    // channels 1-6 (top 35) and 7-12 (top 65): value, code, three lamps
    "Panel1 5 35 56 21",
    "Panel2 65 35 16 21",
    "Panel63 85 35 11 21",
    "Panel64 100 35 11 21",
    "Panel65 115 35 11 21",
    "Panel3 130 35 56 21",
    "Panel4 190 35 16 21",
    "Panel66 210 35 11 21",
    "Panel67 225 35 11 21",
    "Panel68 240 35 11 21",
    "Panel5 255 35 56 21",
    "Panel10 315 35 16 21",
    "Panel69 335 35 11 21",
    "Panel70 350 35 11 21",
    "Panel71 365 35 11 21",
    "Panel14 380 35 56 21",
    "Panel15 440 35 16 21",
    "Panel72 460 35 11 21",
    "Panel73 475 35 11 21",
    "Panel74 490 35 11 21",
    "Panel18 505 35 56 21",
    "Panel19 565 35 16 21",
    "Panel75 585 35 11 21",
    "Panel76 600 35 11 21",
    "Panel77 615 35 11 21",
    "Panel22 630 35 61 21",
    "Panel24 695 35 16 21",
    "Panel78 715 35 11 21",
    "Panel79 730 35 11 21",
    "Panel80 745 35 11 21",
    "Panel6 5 65 56 21",
    "Panel7 65 65 16 21",
    "Panel81 85 65 11 21",
    "Panel82 100 65 11 21",
    "Panel83 115 65 11 21",
    "Panel8 130 65 56 21",
    "Panel9 190 65 16 21",
    "Panel84 210 65 11 21",
    "Panel85 225 65 11 21",
    "Panel86 240 65 11 21",
    "Panel12 255 65 56 21",
    "Panel13 315 65 16 21",
    "Panel88 335 65 11 21",
    "Panel89 350 65 11 21",
    "Panel90 365 65 11 21",
    "Panel16 380 65 56 21",
    "Panel17 440 65 16 21",
    "Panel91 460 65 11 21",
    "Panel92 475 65 11 21",
    "Panel93 490 65 11 21",
    "Panel20 505 65 56 21",
    "Panel21 565 65 16 21",
    "Panel94 585 65 11 21",
    "Panel95 600 65 11 21",
    "Panel96 615 65 11 21",
    "Panel23 630 65 61 21",
    "Panel25 695 65 16 21",
    "Panel97 715 65 11 21",
    "Panel98 730 65 11 21",
    "Panel99 745 65 11 21",
    "Label17 10 95 36 13 Реле",
    "Shape1 50 100 446 1",
    "Panel26 5 110 56 16 Реле 1",
    "Panel27 65 110 56 16 Реле 2",
    "Panel28 125 110 56 16 Реле 3",
    "Panel29 185 110 61 16 Реле 4",
    "Panel30 250 110 56 16 Реле 5",
    "Panel31 310 110 56 16 Реле 6",
    "Panel32 370 110 56 16 Реле 7",
    "Panel33 430 110 56 16 Реле 8",
    "Panel34 5 130 56 16 Реле 9",
    "Panel35 65 130 56 16 Реле 10",
    "Panel36 125 130 56 16 Реле 11",
    "Panel37 185 130 61 16 Реле 12",
    "Panel38 250 130 56 16 Реле 13",
    "Panel39 310 130 56 16 Реле 14",
    "Panel40 370 130 56 16 Реле 15",
    "Panel41 430 130 56 16 Реле 16",
    "Label18 5 150 98 13 Дискретные входы",
    "Shape2 115 155 381 1",
    "Panel42 5 170 56 16 Вход 1",
    "Panel43 65 170 56 16 Вход 2",
    "Panel44 125 170 56 16 Вход 3",
    "Panel45 185 170 61 16 Вход 4",
    "Panel46 250 170 91 16 Упр.буфер1",
    "Panel47 350 170 91 16 Упр.буфер2",
    "Label19 5 190 37 13 Кнопки",
    "Shape3 50 200 446 1",
    "Panel48 5 210 56 16 Канал +",
    "Panel49 5 230 56 16 Канал -",
    "Panel57 70 210 86 36",
    "Panel58 165 210 131 21 Проверка защит",
    "Panel50 70 255 51 16 <-",
    "Panel51 135 255 51 16 ->",
    "Panel52 190 255 51 16 +",
    "Panel53 250 255 56 16 -",
    "Panel54 315 255 56 16 X",
    "Panel55 380 255 51 16 EXE",
    "Panel56 440 255 51 16 Ключ",
    "Label1 12 289 25 13 Порт",
    "ComboBox1 40 285 71 21",
    "Label2 118 289 48 13 Скорость",
    "ComboBox2 174 285 61 21",
    "Label20 20 310 102 13 Контрольная сумма",
    "Shape4 125 320 381 1",
    "Label21 5 325 49 13 Принятая",
    "Panel59 60 325 51 16",
    "Label22 120 325 72 13 Подсчитанная",
    "Panel60 200 325 56 16",
    "Label23 260 325 83 13 Число запросов",
    "Panel61 345 325 66 16",
    "Label24 415 325 40 13 Ошибки",
    "Panel62 460 325 46 16",
    "StatusBar1 0 344 760 16",
    "Panel101 510 115 225 131",
    "Panel102 10 65 61 21 100.1",
    "Panel103 75 65 16 21 0",
    "Panel104 95 65 11 21",
    "Panel105 110 65 11 21",
    "Panel106 127 65 11 21",
    "Label4 70 5 114 13 Измеренное значение",
    "Label5 50 30 108 13 Код ошибки в канале",
    "Label6 130 45 77 13 Обрыв датчика",
    "Label7 30 95 52 13 Уставка 2",
    "Label8 160 95 52 13 Уставка 1",
};

const QByteArray kNoPorts =
    "[PORTS]\nCOM1=/nonexistent/tty1\nCOM2=/nonexistent/tty2\nCOM3=/nonexistent/tty3\n";

DeviceReading ExampleReading() {
    const QByteArray answer =
        "!810100030050200000301;0025.50;04100.1;B0-3.25;000.00;000.00;000.00;000.00;000.00;"
        "000.00;000.00;000.00;000.00;30526\r";
    ReceiveBuffer buffer{};
    std::memcpy(buffer.data(), answer.constData(), size_t(answer.size()));
    DeviceReading reading;
    ParseResponse(ProtocolVariant::Crc, buffer, uint32_t(answer.size()), reading);
    return reading;
}

// The next widget the Tab key reaches; panels and labels take no focus.
QWidget* NextFocusable(QWidget* widget) {
    QWidget* next = widget->nextInFocusChain();
    while (next != widget && !(next->focusPolicy() & Qt::TabFocus))
        next = next->nextInFocusChain();
    return next;
}

} // namespace

Q_DECLARE_METATYPE(ProtocolVariant)

class TestForm : public QObject {
    Q_OBJECT
private slots:
    void controlsAsDesigned() {
        FormFixture f(ProtocolVariant::Crc, kNoPorts);
        for (const char* line : kDesign) {
            const QStringList parts = QString::fromUtf8(line).split(' ');
            const QString name = parts[0];
            const QRect rect(parts[1].toInt(), parts[2].toInt(), parts[3].toInt(),
                             parts[4].toInt());
            const QString caption = parts.mid(5).join(' ');
            QWidget* widget = f.form->Control(name.toStdString());
            QVERIFY2(widget, qPrintable(name));
            if (name.startsWith("Label")) { // labels grow to their text
                QCOMPARE(widget->geometry().topLeft(), rect.topLeft());
                QCOMPARE(widget->height(), rect.height());
                QVERIFY(widget->width() >= rect.width());
            } else {
                QVERIFY2(widget->geometry() == rect, qPrintable(name));
            }
            if (!caption.isEmpty()) {
                if (auto* label = qobject_cast<QLabel*>(widget))
                    QCOMPARE(label->text(), caption);
                else
                    QCOMPARE(qobject_cast<QPushButton*>(widget)->text(), caption);
            }
        }
        QCOMPARE(f.form->Control("Panel102")->parentWidget(), f.form->Control("Panel101"));
    }

    void panelsDoNotOverlap() {
        FormFixture f(ProtocolVariant::Crc, kNoPorts);
        QList<QWidget*> panels;
        for (QLabel* label : f.form->findChildren<QLabel*>())
            if (label->parentWidget() == f.form.get() && label->objectName().startsWith("Panel"))
                panels << label;
        QCOMPARE(panels.size(), 98); // Panel1-101 without 11, 87, 100 and the legend's children
        const QRect client(0, 0, 760, 360);
        for (int i = 0; i < panels.size(); ++i) {
            QVERIFY2(client.contains(panels[i]->geometry()), qPrintable(panels[i]->objectName()));
            for (int j = i + 1; j < panels.size(); ++j)
                QVERIFY2(!panels[i]->geometry().intersects(panels[j]->geometry()),
                         qPrintable(panels[i]->objectName() + " " + panels[j]->objectName()));
        }
    }

    void window() {
        FormFixture f(ProtocolVariant::Sum, kNoPorts);
        TForm1& w = *f.form;
        QCOMPARE(w.windowTitle(), QString("Чтение показания прибора ГРАЛИКС 77     командой > V2"));
        QCOMPARE(w.size(), QSize(760, 360));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(!(w.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QVERIFY(w.windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!w.windowIcon().isNull());
        QCOMPARE(w.ComboBox3->count(), 256);
        QCOMPARE(w.ComboBox3->itemText(255), QString("255"));
        QCOMPARE(w.ComboBox3->maxVisibleItems(), 11);
        QCOMPARE(w.ComboBox1->itemText(7), QString("COM 8"));
        QCOMPARE(w.ComboBox1->maxVisibleItems(), 2);
        QCOMPARE(w.ComboBox2->itemText(3), QString("38400"));
        QCOMPARE(w.ComboBox2->maxVisibleItems(), 4);
        QCOMPARE(NextFocusable(w.ComboBox2), w.ComboBox1);
        QCOMPARE(NextFocusable(w.ComboBox1), w.ComboBox3);
        QCOMPARE(NextFocusable(w.ComboBox3), static_cast<QWidget*>(w.Button1));
        QCOMPARE(NextFocusable(w.Button1), static_cast<QWidget*>(w.Button2));
        QTest::mouseClick(w.Button2, Qt::LeftButton);
        QCOMPARE(w.size(), QSize(760, 360));
        const QFont plusKey = w.Panel(52)->font();
        QCOMPARE(plusKey.families().value(0), QString("SF Sans Serif"));
        QCOMPARE(plusKey.families().value(1), w.font().family());
        QCOMPARE(plusKey.pixelSize(), w.font().pixelSize());
    }

    // Measured values as "%.2f" prints them in the C locale, for every float a field can give.
    void valueText_data() {
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("negative zero") << -0.0f << "-0.00";
        QTest::newRow("small negative") << -0.001f << "-0.00";
        QTest::newRow("rounds as stored") << 2.675f << "2.67"; // 2.67499995...
        QTest::newRow("half way to even") << 0.125f << "0.12";
        QTest::newRow("over 1e9") << 1e10f << "10000000000.00";
        QTest::newRow("largest float")
            << std::numeric_limits<float>::max() << "340282346638528859811704183484516925440.00";
        QTest::newRow("infinity") << std::numeric_limits<float>::infinity() << "inf";
        QTest::newRow("minus infinity") << -std::numeric_limits<float>::infinity() << "-inf";
        QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << "nan";
    }
    void valueText() {
        QFETCH(float, value);
        QTEST(FormatValue(value), "text");
    }

    // Start-up with a fresh folder: defaults, selections, port message, zero reading.
    void startUp() {
        FormFixture f(ProtocolVariant::Crc, kNoPorts);
        TForm1& w = *f.form;
        QCOMPARE(f.portMessages, QStringList{"Ошибка: Невозможно открыть последовательный порт"});
        QVERIFY(f.errors.isEmpty());
        QCOMPARE(w.ComboBox1->currentText(), QString("COM 1"));
        QCOMPARE(w.ComboBox2->currentText(), QString("19200"));
        QCOMPARE(w.ComboBox3->currentText(), QString("1"));
        QCOMPARE(w.Button1->text(), QString("Начать обмен"));
        QCOMPARE(f.Text(61), QString("0"));
        QCOMPARE(f.Text(62), QString("0"));
        QCOMPARE(f.state->Exchange.ExchangeActive, 0);
        for (const ChannelPanels& p : kChannelPanels) {
            QCOMPARE(f.Text(p.Value), QString("0.00"));
            QCOMPARE(PanelColourOf(w.Panel(p.Value)), PanelColour::White);
            QCOMPARE(f.Text(p.Code), QString("0"));
            for (int lamp : {p.Bit2, p.Bit1, p.Bit0})
                QCOMPARE(PanelColourOf(w.Panel(lamp)), PanelColour::ButtonFace);
        }
        for (const FlagLamp& lamp : kFlagLamps)
            QCOMPARE(PanelColourOf(w.Panel(lamp.Panel)), PanelColour::ButtonFace);
        for (int panel : {57, 59, 60})
            QCOMPARE(f.Text(panel), QString("0"));
        QVERIFY(f.state->Port.LastOpening()->RaiseDtrRts);
    }

    void storedValuesOutsideTheLists() {
        FormFixture f(ProtocolVariant::Sum,
                      kNoPorts + "[COM_SETTINGS]\nPort=9\nSpd=9\n[DEVICE]\nNetAdrr=255\n");
        QCOMPARE(f.form->ComboBox1->currentIndex(), -1);
        QCOMPARE(f.form->ComboBox2->currentIndex(), -1);
        QCOMPARE(f.form->ComboBox3->currentText(), QString("255"));
        QVERIFY(!f.state->Port.LastOpening()->PortName); // port 9 has no name
        QVERIFY(f.portMessages.isEmpty());
    }

    void workedExampleIsPainted() {
        FormFixture f(ProtocolVariant::Crc, kNoPorts);
        TForm1& w = *f.form;
        ShowReading(w, ExampleReading());
        QCOMPARE(f.Text(1), QString("25.50"));
        QCOMPARE(f.Text(3), QString("100.10"));
        QCOMPARE(f.Text(5), QString("-3.25"));
        QCOMPARE(f.Text(10), QString("b"));
        QCOMPARE(PanelColourOf(w.Panel(5)), PanelColour::Red);
        QCOMPARE(PanelColourOf(w.Panel(1)), PanelColour::White);
        QCOMPARE(PanelColourOf(w.Panel(66)), PanelColour::Red); // channel 2: sensor break
        QCOMPARE(PanelColourOf(w.Panel(67)), PanelColour::ButtonFace);
        QSet<int> lit;
        for (const FlagLamp& lamp : kFlagLamps)
            if (PanelColourOf(w.Panel(lamp.Panel)) == PanelColour::Yellow)
                lit << lamp.Panel;
        // relays 1, 9, 10; inputs 1 and 3; buffer 2; keys "Канал +", "Ключ", "EXE"
        QCOMPARE(lit, (QSet<int>{26, 34, 35, 42, 44, 47, 48, 56, 55}));
        QCOMPARE(f.Text(57), QString("3"));
        QCOMPARE(f.Text(59), QString("773e")); // 30526
        QCOMPARE(f.Text(60), QString("773e"));
    }

    void channelColours_data() {
        QTest::addColumn<int>("errorCode");
        QTest::addColumn<int>("stateBits");
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("colour");
        QTest::addColumn<QString>("lamps"); // bit 2, 1, 0: R red, Y yellow, - off
        QTest::addColumn<QString>("valueText");
        QTest::newRow("ok") << 0 << 0 << 1234.5f << "0" << int(PanelColour::White) << "---"
                            << "1234.50";
        QTest::newRow("10 yellow") << 10 << 1 << -0.5f << "a" << int(PanelColour::Yellow) << "--Y"
                                   << "-0.50";
        QTest::newRow("11 red") << 11 << 4 << 23.456f << "b" << int(PanelColour::Red) << "R--"
                                << "23.46";
        QTest::newRow("12 yellow") << 12 << 7 << 0.0f << "c" << int(PanelColour::Yellow) << "RRY"
                                   << "0.00";
        QTest::newRow("state 8 lights none")
            << 15 << 8 << 1.0f << "f" << int(PanelColour::Yellow) << "---"
            << "1.00";
    }
    void channelColours() {
        QFETCH(int, errorCode);
        QFETCH(int, stateBits);
        QFETCH(float, value);
        FormFixture f(ProtocolVariant::Crc, kNoPorts);
        DeviceReading reading;
        reading.Channels[11] = {uint16_t(errorCode), uint16_t(stateBits), value};
        ShowReading(*f.form, reading);
        const ChannelPanels& p = kChannelPanels[11];
        QTEST(f.Text(p.Code), "code");
        QTEST(f.Text(p.Value), "valueText");
        QTEST(int(PanelColourOf(f.form->Panel(p.Value))), "colour");
        QString lamps;
        for (int lamp : {p.Bit2, p.Bit1, p.Bit0}) {
            const PanelColour c = PanelColourOf(f.form->Panel(lamp));
            lamps += c == PanelColour::Red ? 'R' : c == PanelColour::Yellow ? 'Y' : '-';
        }
        QTEST(lamps, "lamps");
        // Back to no error: white again.
        reading.Channels[11] = {};
        ShowReading(*f.form, reading);
        QCOMPARE(PanelColourOf(f.form->Panel(p.Value)), PanelColour::White);
    }

    // Each flag lights its own lamp and no other.
    void eachFlagLightsOneLamp_data() {
        QTest::addColumn<int>("set"); // FlagSet
        QTest::addColumn<int>("entry");
        QTest::addColumn<int>("lamp");
        for (int relay = 1; relay <= 16; ++relay)
            QTest::addRow("relay %d", relay) << int(FlagSet::Relay) << relay - 1 << 25 + relay;
        for (int input = 1; input <= 4; ++input)
            QTest::addRow("input %d", input) << int(FlagSet::Discrete) << input - 1 << 41 + input;
        QTest::newRow("buffer 1") << int(FlagSet::Discrete) << 8 << 46;
        QTest::newRow("buffer 2") << int(FlagSet::Discrete) << 9 << 47;
        const int keyLamps[10] = {48, 49, 52, 53, 50, 51, 54, 56, 55, 58};
        const char* const keys[10] = {"Канал +", "Канал -", "+",    "-",   "<-",
                                      "->",      "X",       "Ключ", "EXE", "Проверка защит"};
        for (int key = 0; key < 10; ++key)
            QTest::addRow("key %s", keys[key]) << int(FlagSet::Key) << key << keyLamps[key];
    }
    void eachFlagLightsOneLamp() {
        QFETCH(int, set);
        QFETCH(int, entry);
        QFETCH(int, lamp);
        FormFixture f(ProtocolVariant::Crc, kNoPorts);
        DeviceReading reading;
        switch (FlagSet(set)) {
        case FlagSet::Relay:
            reading.RelayFlags[size_t(entry)] = 1;
            break;
        case FlagSet::Discrete:
            reading.DiscreteFlags[size_t(entry)] = 1;
            break;
        case FlagSet::Key:
            reading.KeyFlags[size_t(entry)] = 1;
            break;
        }
        ShowReading(*f.form, reading);
        for (int panel = 26; panel <= 58; ++panel) {
            if (panel == 57)
                continue; // the status number
            const PanelColour expected =
                panel == lamp ? PanelColour::Yellow : PanelColour::ButtonFace;
            QVERIFY2(PanelColourOf(f.form->Panel(panel)) == expected,
                     qPrintable(QString("Panel%1").arg(panel)));
        }
    }

    void sumChecksumsShownInHex() {
        FormFixture f(ProtocolVariant::Sum, kNoPorts);
        DeviceReading reading;
        reading.ChecksumReceived = 0x0F;
        reading.ChecksumComputed = 0xA3;
        ShowReading(*f.form, reading);
        QCOMPARE(f.Text(59), QString("f"));
        QCOMPARE(f.Text(60), QString("a3"));
    }

    // Picks in the lists: the crc program reopens with OpenPort (DTR/RTS off), the sum
    // program with ReopenPort (on); the network number leaves the port alone.
    void listHandlers_data() {
        QTest::addColumn<ProtocolVariant>("variant");
        QTest::newRow("crc") << ProtocolVariant::Crc;
        QTest::newRow("sum") << ProtocolVariant::Sum;
    }
    void listHandlers() {
        QFETCH(ProtocolVariant, variant);
        FormFixture f(variant, kNoPorts);
        TForm1& w = *f.form;
        f.portMessages.clear();
        emit w.ComboBox1->activated(2);
        QCOMPARE(f.state->Settings.Port, 3);
        QCOMPARE(f.state->Port.LastOpening()->PortName, std::optional<std::string>("COM3"));
        QCOMPARE(f.state->Port.LastOpening()->RaiseDtrRts, variant == ProtocolVariant::Sum);
        QCOMPARE(f.portMessages.size(), 1); // /nonexistent/tty3

        emit w.ComboBox2->activated(3);
        QCOMPARE(f.state->Settings.Spd, 8);
        QCOMPARE(f.state->Port.LastOpening()->Line.BaudRate, 38400u);
        QCOMPARE(f.state->Port.LastOpening()->Timeouts.ReadIntervalTimeout, 24u);
        QCOMPARE(f.portMessages.size(), 2);

        emit w.ComboBox3->activated(255);
        QCOMPARE(f.state->Settings.NetAdrr, 255);
        QCOMPARE(f.portMessages.size(), 2);

        w.ComboBox3->setCurrentIndex(-1);
        w.ComboBox3Change(w.ComboBox3->currentIndex());
        QCOMPARE(f.state->Settings.NetAdrr, 1);
    }

    void programSelectionRunsNoHandler() {
        FormFixture f(ProtocolVariant::Crc, kNoPorts);
        f.form->ComboBox1->setCurrentIndex(4);
        f.form->ComboBox3->setCurrentIndex(9);
        QCOMPARE(f.state->Settings.Port, 1);
        QCOMPARE(f.state->Settings.NetAdrr, 1);
    }

    // dev.dat that cannot be written: the error box names it, the rest of start-up is skipped,
    // and the window runs with the exchange stopped.
    void unwritableSettingsAtStartUp() {
        const QString old = QDir::currentPath();
        QTemporaryDir folder;
        QVERIFY(QDir(folder.path()).mkdir("dev.dat"));
        QDir::setCurrent(folder.path());
        ReaderState state(ProtocolVariant::Crc);
        QStringList errors;
        TForm1::Dialogs dialogs;
        dialogs.ErrorBox = [&](const QString& text) { errors << text; };
        dialogs.PortBox = [](const QString&, const QString&) {};
        {
            TForm1 form(state, "TITLE", dialogs);
            QCOMPARE(errors, QStringList{"Unable to write to " + folder.path() + "/dev.dat"});
            QCOMPARE(form.size(), QSize(760, 360)); // the first step always runs
            QVERIFY(!state.Port.LastOpening());     // the port was never opened
            QCOMPARE(form.Panel(61)->text(), QString());
            QCOMPARE(state.Settings.Spd, 0); // settings not yet loaded keep their first values
            QTest::mouseClick(form.Button1, Qt::LeftButton);
            QCOMPARE(state.Exchange.ExchangeActive, 1); // the window still works
        }
        QCOMPARE(errors.size(), 2); // the save at shutdown fails the same way
        QDir::setCurrent(old);
    }

    void closingSavesFiveKeys() {
        FormFixture f(ProtocolVariant::Sum, kNoPorts);
        emit f.form->ComboBox3->activated(200);
        emit f.form->ComboBox2->activated(0);
        QByteArray edited = f.DevDat();
        edited.replace("TimeOut=1000", "TimeOut=77").replace("Par=0", "Par=5");
        QFile file(f.folder.filePath("dev.dat"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(edited);
        file.close();
        f.form->close();
        f.form.reset();
        const QByteArray saved = f.DevDat();
        QVERIFY2(saved.contains("NetAdrr=200\n") && saved.contains("Spd=5\n") &&
                     saved.contains("TimeOut=77\n") && saved.contains("Par=0\n"),
                 saved);
        QVERIFY(!f.state->Port.IsOpen());
    }
};

QTEST_MAIN(TestForm)
#include "test_form.moc"
