#pragma once

// Painting a reading into the window's panels, and the panel colours it uses.

#include "reading.h"

#include <QLabel>
#include <QString>

#include <functional>

// Colours of the window.
enum class PanelColour { White, Red, Yellow, ButtonFace };
void SetPanelColour(QLabel* panel, PanelColour colour);
PanelColour PanelColourOf(const QLabel* panel);

// A measured value as the window shows it.
QString FormatValue(float value);

// The window's panel with that number (Panel1 ... Panel106).
using PanelLookup = std::function<QLabel*(int number)>;

// Paints the reading into the window's panels: values, codes and their colours, state lamps,
// relay, input, buffer and key lamps, the status number and both checksums.
void ShowReading(const PanelLookup& panel, const DeviceReading& reading);
