#pragma once

// Exchanges as rows of data: CSV (RFC 4180, a header row) or JSON Lines (one object a line).
// Columns: the send stamp, the exchange time, the network number, the variant, the answer's byte
// count, the outcome, then the reading (value, error code and state bits of each channel; keys,
// keys2, number, inputs, controls, relays), empty when the answer did not parse; with `raw`, the
// request and answer bytes in hexadecimal too.

#include "decode.h"

#include <string>

enum class RowFormat { Csv, JsonLines };

class ExchangeTable {
public:
    ExchangeTable(RowFormat format, bool raw) : m_format(format), m_raw(raw) {}
    // The CSV header row; nothing for JSON Lines.
    void AppendHeader(std::string& out) const;
    void AppendRow(std::string& out, const DecodedExchange& exchange) const;

private:
    RowFormat m_format;
    bool m_raw;
};

// The shortest text that reads back as the same float; JSON gets null for NaN and infinities.
void AppendFloat(std::string& out, float value, bool json);
void AppendUnsigned(std::string& out, uint64_t value);
