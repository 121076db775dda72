#include "show_reading.h"

#include "form_layout.h"

#include <QApplication>

#include <charconv>

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

} // namespace

// "%.2f" of the value widened to double, in the C locale whatever the desktop's: 25.50, never
// 25,50; -0.00 keeps its sign; infinities and NaN read inf, -inf, nan, -nan.
QString FormatValue(float value) {
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, double(value), std::chars_format::fixed, 2);
    return QString::fromLatin1(text, result.ptr - text);
}

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

void ShowReading(const PanelLookup& panel, const DeviceReading& reading) {
    for (size_t ch = 0; ch < kChannelPanels.size(); ++ch) {
        const ChannelReading& channel = reading.Channels[ch];
        QLabel* value = panel(kChannelPanels[ch].Value);
        SetPanelColour(value, channel.ErrorCode == 0               ? PanelColour::White
                              : channel.ErrorCode == kRedErrorCode ? PanelColour::Red
                                                                   : PanelColour::Yellow);
        value->setText(FormatValue(channel.Value));
        panel(kChannelPanels[ch].Code)->setText(QString::number(channel.ErrorCode, 16));
    }

    for (const FlagLamp& lamp : kFlagLamps) {
        const uint16_t flag = FlagOf(reading, lamp);
        SetPanelColour(panel(lamp.Panel),
                       flag == 1 ? PanelColour::Yellow : PanelColour::ButtonFace);
    }

    for (size_t ch = 0; ch < kChannelPanels.size(); ++ch) {
        const uint16_t bits = reading.Channels[ch].StateBits;
        const ChannelPanels& p = kChannelPanels[ch];
        SetPanelColour(panel(p.Bit2),
                       (bits & kSensorBreakBit) ? PanelColour::Red : PanelColour::ButtonFace);
        SetPanelColour(panel(p.Bit1),
                       (bits & kSetpoint2Bit) ? PanelColour::Red : PanelColour::ButtonFace);
        SetPanelColour(panel(p.Bit0),
                       (bits & kSetpoint1Bit) ? PanelColour::Yellow : PanelColour::ButtonFace);
    }

    // "%u" and "%x": QString::number prints integers without any locale.
    panel(kStatusNumberPanel)->setText(QString::number(reading.StatusNumber));
    panel(kChecksumReceivedPanel)->setText(QString::number(reading.ChecksumReceived, 16));
    panel(kChecksumComputedPanel)->setText(QString::number(reading.ChecksumComputed, 16));
}
