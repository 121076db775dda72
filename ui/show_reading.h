#pragma once

// Painting a reading into the window's panels, and the panel colours it uses.

#include "reading.h"

#include <QLabel>
#include <QString>

class TForm1;

// Colours of the window.
enum class PanelColour { White, Red, Yellow, ButtonFace };
void SetPanelColour(QLabel* panel, PanelColour colour);
PanelColour PanelColourOf(const QLabel* panel);

// A measured value as the window shows it.
QString FormatValue(float value);

// Paints the reading into the window's panels: values, codes and their colours, state lamps,
// relay, input, buffer and key lamps, the status number and both checksums.
void ShowReading(TForm1& form, const DeviceReading& reading);
