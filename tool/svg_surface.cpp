#include "chart_surface.h"

#include <charconv>
#include <cstdio>

namespace {

std::string Number(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
    return std::string(text, result.ptr);
}

std::string Colour(Rgb c) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", c.R, c.G, c.B);
    return text;
}

} // namespace

SvgSurface::SvgSurface(int width, int height) {
    m_document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                 std::to_string(width) + "\" height=\"" + std::to_string(height) +
                 "\" viewBox=\"0 0 " + std::to_string(width) + " " + std::to_string(height) +
                 "\" font-family=\"sans-serif\" font-size=\"12\">\n";
}

void SvgSurface::FillRect(double x, double y, double width, double height, Rgb colour) {
    m_document += "<rect x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" width=\"" + Number(width) +
                  "\" height=\"" + Number(height) + "\" fill=\"" + Colour(colour) + "\"/>\n";
}

void SvgSurface::Polyline(const std::vector<Point>& points, Rgb colour) {
    if (points.empty())
        return;
    m_document +=
        "<polyline fill=\"none\" stroke-width=\"1.5\" stroke=\"" + Colour(colour) + "\" points=\"";
    for (const Point& p : points)
        m_document += Number(p.X) + "," + Number(p.Y) + " ";
    m_document += "\"/>\n";
}

void SvgSurface::Text(double x, double y, std::string_view text, Rgb colour, TextAnchor anchor) {
    static const char* const kAnchors[] = {"start", "middle", "end"};
    m_document += "<text x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" fill=\"" + Colour(colour) +
                  "\" text-anchor=\"" + kAnchors[int(anchor)] + "\">";
    for (char c : text) {
        if (c == '<')
            m_document += "&lt;";
        else if (c == '&')
            m_document += "&amp;";
        else
            m_document += c;
    }
    m_document += "</text>\n";
}
