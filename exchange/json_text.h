#pragma once

// A small JSON writer for every JSON the programs write (rows, payloads, statistics, reports):
// it appends to a string, and the caller names each member with Key before its value; the
// commas come by themselves. Floats are the shortest text that reads back as the same float,
// null when not finite; strings are escaped as JSON requires.

#include <cstdint>
#include <string>
#include <string_view>

class JsonText {
public:
    explicit JsonText(std::string& out) : m_out(out) {}

    JsonText& BeginObject() { return Open('{'); }
    JsonText& EndObject() { return Close('}'); }
    JsonText& BeginArray() { return Open('['); }
    JsonText& EndArray() { return Close(']'); }
    JsonText& Key(std::string_view key);
    JsonText& String(std::string_view value);
    JsonText& Bool(bool value) { return Raw(value ? "true" : "false"); }
    JsonText& Null() { return Raw("null"); }
    JsonText& Unsigned(uint64_t value);
    JsonText& Integer(int64_t value);
    JsonText& Float(float value);
    // A value already written as JSON text (a number in a fixed format, say).
    JsonText& Raw(std::string_view text);

private:
    JsonText& Open(char bracket);
    JsonText& Close(char bracket);
    void Separate() {
        if (!m_first)
            m_out += ',';
        m_first = false;
    }

    std::string& m_out;
    bool m_first = true;
};

// Appends `value` as a JSON string, quotes included.
void AppendJsonString(std::string& out, std::string_view value);
