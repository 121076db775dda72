#pragma once

// What a chart is drawn on: an SVG document or a raster image that becomes a PNG. Coordinates
// are pixels from the top left.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Rgb {
    uint8_t R = 0, G = 0, B = 0;
};

struct Point {
    double X = 0, Y = 0;
};

enum class TextAnchor { Start, Middle, End };

class ChartSurface {
public:
    virtual ~ChartSurface() = default;
    virtual void FillRect(double x, double y, double width, double height, Rgb colour) = 0;
    virtual void Polyline(const std::vector<Point>& points, Rgb colour) = 0;
    // Text whose baseline is at y; digits, a few letters and punctuation.
    virtual void Text(double x, double y, std::string_view text, Rgb colour, TextAnchor anchor) = 0;
};

class SvgSurface : public ChartSurface {
public:
    SvgSurface(int width, int height);
    void FillRect(double x, double y, double width, double height, Rgb colour) override;
    void Polyline(const std::vector<Point>& points, Rgb colour) override;
    void Text(double x, double y, std::string_view text, Rgb colour, TextAnchor anchor) override;
    std::string Document() const { return m_document + "</svg>\n"; }

private:
    std::string m_document;
};

class RasterSurface : public ChartSurface {
public:
    RasterSurface(int width, int height);
    void FillRect(double x, double y, double width, double height, Rgb colour) override;
    void Polyline(const std::vector<Point>& points, Rgb colour) override;
    void Text(double x, double y, std::string_view text, Rgb colour, TextAnchor anchor) override;
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    // Rows of R, G, B bytes, top row first.
    const std::vector<uint8_t>& Pixels() const { return m_pixels; }

    static constexpr int kTextScale = 2; // the 5 x 7 font drawn at this many pixels a dot

private:
    void Plot(int x, int y, Rgb colour);
    void Line(Point from, Point to, Rgb colour);

    int m_width, m_height;
    std::vector<uint8_t> m_pixels;
};

// The image as a PNG file (8-bit RGB).
std::string EncodePng(const RasterSurface& image);
