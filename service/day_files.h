#pragma once

// A line's files under data_dir/NAME/, one set per local day (by the exchange's send stamp):
// YYYY-MM-DD.log in the readers' exchange log bytes (when enabled), and YYYY-MM-DD.csv and
// YYYY-MM-DD.jsonl with the rows `reader-tool csv` and `reader-tool csv --jsonl` give for that
// log. Each record and each row is appended with one write. A failed write is reported once
// when writing starts failing and once when it works again; the exchange goes on either way.

#include "decode.h"
#include "exchange_log.h"
#include "table_output.h"

#include <QDate>

#include <functional>
#include <string>
#include <string_view>

class DayFiles {
public:
    using Report = std::function<void(const std::string& message)>;

    DayFiles(std::string folder, bool exchangeLog, Report report);

    void Write(const LocalTime& sent, const LocalTime& received, uint32_t exchangeMs,
               std::string_view request, std::string_view answer);

    const std::string& Folder() const { return m_folder; }
    bool Failing() const { return m_failing; }

    // Removes the day files in `folder` dated more than keepDays days before `today` (keepDays
    // 7 keeps today and the 7 days before); other files are left alone. Returns how many went.
    static int Prune(const std::string& folder, uint32_t keepDays, QDate today);

private:
    bool Append(const std::string& path, std::string_view bytes, std::string& failure);

    std::string m_folder;
    bool m_exchangeLog;
    Report m_report;
    std::string m_day; // "YYYY-MM-DD" of the files written last
    ExchangeDecoder m_decoder;
    ExchangeTable m_csv{RowFormat::Csv, false};
    ExchangeTable m_jsonl{RowFormat::JsonLines, false};
    bool m_failing = false;
    std::string m_row; // reused between rows
};
