#include "tform1.h"

#include <QApplication>

namespace {

QColor ColourOf(PanelColour colour) {
    switch (colour) {
    case PanelColour::White:
        return QColor(255, 255, 255);
    case PanelColour::Red:
        return QColor(255, 0, 0);
    case PanelColour::Yellow:
        return QColor(255, 255, 0);
    case PanelColour::ButtonFace:
        break;
    }
    return QApplication::palette().color(QPalette::Button);
}

const char* const kColourProperty = "panelColour";

uint16_t FlagOf(const DeviceReading& reading, const FlagLamp& lamp) {
    const auto entry = size_t(lamp.Entry);
    switch (lamp.Set) {
    case FlagSet::Relay:
        return reading.RelayFlags[entry];
    case FlagSet::Discrete:
        return reading.DiscreteFlags[entry];
    case FlagSet::Key:
        break;
    }
    return reading.KeyFlags[entry];
}

// QString::number formats as printf does in the C locale ("%.2f", "%u", "%x"), whatever
// locale the desktop has: a value always reads 25.50, never 25,50.
QString Fixed2(float value) {
    return QString::number(double(value), 'f', 2);
}

} // namespace

void SetPanelColour(QLabel* panel, PanelColour colour) {
    // Setting a palette re-polishes the widget; skip it when the colour is already there.
    if (panel->property(kColourProperty).toInt() == int(colour) + 1)
        return;
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, ColourOf(colour));
    panel->setPalette(palette);
    panel->setProperty(kColourProperty, int(colour) + 1);
}

PanelColour PanelColourOf(const QLabel* panel) {
    const int stored = panel->property(kColourProperty).toInt();
    return stored > 0 ? PanelColour(stored - 1) : PanelColour::ButtonFace;
}

void ShowReading(TForm1& form, const DeviceReading& reading) {
    for (size_t ch = 0; ch < kChannelPanels.size(); ++ch) {
        const ChannelReading& channel = reading.Channels[ch];
        QLabel* value = form.Panel(kChannelPanels[ch].Value);
        SetPanelColour(value, channel.ErrorCode == 0    ? PanelColour::White
                              : channel.ErrorCode == 11 ? PanelColour::Red
                                                        : PanelColour::Yellow);
        value->setText(Fixed2(channel.Value));
        form.Panel(kChannelPanels[ch].Code)->setText(QString::number(channel.ErrorCode, 16));
    }

    for (const FlagLamp& lamp : kFlagLamps) {
        const uint16_t flag = FlagOf(reading, lamp);
        SetPanelColour(form.Panel(lamp.Panel),
                       flag == 1 ? PanelColour::Yellow : PanelColour::ButtonFace);
    }

    for (size_t ch = 0; ch < kChannelPanels.size(); ++ch) {
        const uint16_t bits = reading.Channels[ch].StateBits;
        const ChannelPanels& p = kChannelPanels[ch];
        SetPanelColour(form.Panel(p.Bit2), (bits & 4) ? PanelColour::Red : PanelColour::ButtonFace);
        SetPanelColour(form.Panel(p.Bit1), (bits & 2) ? PanelColour::Red : PanelColour::ButtonFace);
        SetPanelColour(form.Panel(p.Bit0),
                       (bits & 1) ? PanelColour::Yellow : PanelColour::ButtonFace);
    }

    form.Panel(kStatusNumberPanel)->setText(QString::number(reading.StatusNumber));
    form.Panel(kChecksumReceivedPanel)->setText(QString::number(reading.ChecksumReceived, 16));
    form.Panel(kChecksumComputedPanel)->setText(QString::number(reading.ChecksumComputed, 16));
}
