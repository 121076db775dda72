#include "form_fixture.h"

#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include <limits>

namespace {

const QByteArray kNoPorts =
    "[PORTS]\nCOM1=/nonexistent/tty1\nCOM2=/nonexistent/tty2\nCOM3=/nonexistent/tty3\n";

// A panel's colour as one letter: W white, Y yellow, R red, - button face.
QChar Letter(QLabel* panel) {
    const PanelColour c = PanelColourOf(panel);
    return c == PanelColour::White    ? 'W'
           : c == PanelColour::Yellow ? 'Y'
           : c == PanelColour::Red    ? 'R'
                                      : '-';
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
    // Every panel inside the window and clear of the others.
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
        const QList<QWidget*> tabOrder{w.ComboBox2, w.ComboBox1, w.ComboBox3, w.Button1, w.Button2};
        for (qsizetype i = 0; i + 1 < tabOrder.size(); ++i)
            QCOMPARE(NextFocusable(tabOrder[i]), tabOrder[i + 1]);
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
        QCOMPARE(f.Counters(), QString("0/0"));
        QCOMPARE(f.state->ExchangeActive, 0);
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

    // Channels 1-3 of the worked example in their panels; the checksums in hex.
    void readingIsPainted() {
        FormFixture f(ProtocolVariant::Crc, kNoPorts);
        TForm1& w = *f.form;
        DeviceReading reading;
        reading.Channels[0] = {0, 0, 25.5f};
        reading.Channels[1] = {0, 4, 100.1f}; // sensor break
        reading.Channels[2] = {11, 0, -3.25f};
        reading.StatusNumber = 3;
        reading.ChecksumReceived = 0x0F;
        reading.ChecksumComputed = 0xA3;
        ShowReading(w.Panels(), reading);
        QStringList texts;
        for (int panel : {1, 3, 5, 10, 57, 59, 60})
            texts << f.Text(panel);
        QCOMPARE(texts.join(' '), QString("25.50 100.10 -3.25 b 3 f a3"));
        // Values of channels 3 and 1; channel 2's sensor-break and setpoint-2 lamps.
        QCOMPARE(QString(Letter(w.Panel(5))) + Letter(w.Panel(1)) + Letter(w.Panel(66)) +
                     Letter(w.Panel(67)),
                 QString("RWR-"));
    }

    // Channel 12's code, value colour, lamps (bit 2, 1, 0) and value as shown.
    void channelColours_data() {
        QTest::addColumn<int>("errorCode");
        QTest::addColumn<int>("stateBits");
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("shown"); // colours: W white, Y yellow, R red, - button face
        QTest::newRow("ok") << 0 << 0 << 1234.5f << "0 W --- 1234.50";
        QTest::newRow("10 yellow") << 10 << 1 << -0.5f << "a Y --Y -0.50";
        QTest::newRow("11 red") << 11 << 4 << 23.456f << "b R R-- 23.46";
        QTest::newRow("12 yellow") << 12 << 7 << 0.0f << "c Y RRY 0.00";
        QTest::newRow("state 8 lights none") << 15 << 8 << 1.0f << "f Y --- 1.00";
    }
    void channelColours() {
        QFETCH(int, errorCode);
        QFETCH(int, stateBits);
        QFETCH(float, value);
        FormFixture f(ProtocolVariant::Crc, kNoPorts);
        DeviceReading reading;
        reading.Channels[11] = {uint16_t(errorCode), uint16_t(stateBits), value};
        ShowReading(f.form->Panels(), reading);
        const ChannelPanels& p = kChannelPanels[11];
        QString shown = f.Text(p.Code) + ' ' + Letter(f.form->Panel(p.Value)) + ' ';
        for (int lamp : {p.Bit2, p.Bit1, p.Bit0})
            shown += Letter(f.form->Panel(lamp));
        QTEST(shown + ' ' + f.Text(p.Value), "shown");
        // Back to no error: white again.
        reading.Channels[11] = {};
        ShowReading(f.form->Panels(), reading);
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
        uint16_t* const flags[] = {reading.RelayFlags.data(), reading.DiscreteFlags.data(),
                                   reading.KeyFlags.data()}; // in FlagSet's order
        flags[set][entry] = 1;
        ShowReading(f.form->Panels(), reading);
        for (int panel = 26; panel <= 58; ++panel) {
            if (panel == 57)
                continue; // the status number
            const PanelColour expected =
                panel == lamp ? PanelColour::Yellow : PanelColour::ButtonFace;
            QVERIFY2(PanelColourOf(f.form->Panel(panel)) == expected,
                     qPrintable(QString("Panel%1").arg(panel)));
        }
    }

    // Picks in the lists: the crc program reopens with OpenPort (DTR/RTS off), the sum
    // program with ReopenPort (on); the network number leaves the port alone. (A speed pick is
    // TestExchange::variants'.)
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

        emit w.ComboBox3->activated(255);
        QCOMPARE(f.state->Settings.NetAdrr, 255);
        QCOMPARE(f.portMessages.size(), 1);

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
        FormFixture f(ProtocolVariant::Crc, {}, LocalTimeNow, [] { QDir().mkdir("dev.dat"); });
        QCOMPARE(f.errors, QStringList{"Unable to write to " + f.folder.path() + "/dev.dat"});
        QCOMPARE(f.form->size(), QSize(760, 360)); // the first step always runs
        QVERIFY(!f.state->Port.LastOpening());     // the port was never opened
        QCOMPARE(f.Text(61), QString());
        QCOMPARE(f.state->Settings.Spd, 0); // settings not yet loaded keep their first values
        QTest::mouseClick(f.form->Button1, Qt::LeftButton);
        QCOMPARE(f.state->ExchangeActive, 1); // the window still works
        f.form.reset();
        QCOMPARE(f.errors.size(), 2); // the save at shutdown fails the same way
    }

    void closingSavesFiveKeys() {
        FormFixture f(ProtocolVariant::Sum, kNoPorts);
        emit f.form->ComboBox3->activated(200);
        emit f.form->ComboBox2->activated(0);
        f.form->close();
        f.form.reset();
        const QByteArray saved = ReadAll(f.folder.filePath("dev.dat"));
        QVERIFY2(saved.contains("NetAdrr=200\n") && saved.contains("Spd=5\n"), saved);
        QVERIFY(!f.state->Port.IsOpen());
    }
};

QTEST_MAIN(TestForm)
#include "test_form.moc"
