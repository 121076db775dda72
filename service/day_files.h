#pragma once

// A line's files under data_dir/NAME/, one set per local day (by the exchange's send stamp):
// YYYY-MM-DD.log in the readers' exchange log bytes (when enabled), and YYYY-MM-DD.csv and
// YYYY-MM-DD.jsonl with the exchange's rows as reader-tool writes them. Each record and each
// row is appended with one write, whole or not at all, and never through a symbolic link; an
// exchange goes into all three files or, when one cannot take it, into none. A failed write is
// reported once when writing starts failing, with its own cause, and once when it works again;
// the exchange goes on either way.

#include "output.h"

#include <QDate>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class DayFiles : public Output {
public:
    using Report = std::function<void(const std::string& message)>;

    DayFiles(std::string folder, bool exchangeLog, Report report);

    // Every exchange but one that found no port is written.
    void Exchanged(const ExchangeRecord& record, const InstrumentState& instrument) override;

    const std::string& Folder() const { return m_folder; }
    bool Failing() const { return m_failing; }

    // Removes the day files in `folder` dated more than keepDays days before `today` (keepDays
    // 7 keeps today and the 7 days before); other files, links, and everything of a folder
    // that is itself a link are left alone. Returns how many went.
    static int Prune(const std::string& folder, uint32_t keepDays, QDate today);

private:
    bool Append(const std::string& name, std::string_view header, std::string_view bytes,
                std::string& failure);

    std::string m_folder;
    bool m_exchangeLog;
    Report m_report;
    bool m_failing = false;
    std::string m_row;                                        // reused between rows
    std::string m_header;                                     // of a new CSV file
    std::vector<std::pair<std::string, uint64_t>> m_appended; // this exchange's: name, size before
};
