#include "json_text.h"

#include "number_text.h"

#include <charconv>

JsonText& JsonText::Open(char bracket) {
    Separate();
    m_out += bracket;
    m_first = true;
    return *this;
}

JsonText& JsonText::Close(char bracket) {
    m_out += bracket;
    m_first = false;
    return *this;
}

JsonText& JsonText::Key(std::string_view key) {
    Separate();
    AppendJsonString(m_out, key);
    m_out += ':';
    m_first = true; // the value follows without a comma
    return *this;
}

JsonText& JsonText::String(std::string_view value) {
    Separate();
    AppendJsonString(m_out, value);
    return *this;
}

JsonText& JsonText::Unsigned(uint64_t value) {
    Separate();
    AppendUnsigned(m_out, value);
    return *this;
}

JsonText& JsonText::Integer(int64_t value) {
    Separate();
    char text[24];
    m_out.append(text, size_t(std::to_chars(text, text + sizeof text, value).ptr - text));
    return *this;
}

JsonText& JsonText::Float(float value) {
    Separate();
    AppendFloat(m_out, value, true);
    return *this;
}

JsonText& JsonText::Raw(std::string_view text) {
    Separate();
    m_out += text;
    return *this;
}

void AppendJsonString(std::string& out, std::string_view value) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}
