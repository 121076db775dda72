#pragma once

// The programs' icon, a dial with a needle, from one description: the window paints it, and a
// build step writes it as the SVG and the PNG sizes that are installed with the programs.

#include <QString>

class QPainter;

// Paints the dial into a square of `size` pixels at the painter's origin.
void PaintDialIcon(QPainter& painter, int size);
// The same dial as an SVG document of 32 x 32 units.
QString DialIconSvg();
