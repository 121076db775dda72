#include "day_files.h"

#include "file_access.h"
#include "record_format.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace {

std::string DayName(const LocalTime& t) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", unsigned(t.Year) % 10000u,
                  unsigned(t.Month) % 100u, unsigned(t.Day) % 100u);
    return text;
}

bool MissingOrEmpty(const std::string& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error || size == 0;
}

} // namespace

DayFiles::DayFiles(std::string folder, bool exchangeLog, Report report)
    : m_folder(std::move(folder)), m_exchangeLog(exchangeLog), m_report(std::move(report)) {}

bool DayFiles::Append(const std::string& path, std::string_view bytes, std::string& failure) {
    if (AppendInOneWrite(path, bytes))
        return true;
    // A folder removed under the running service is made again, once per write.
    std::error_code error;
    if (!fs::is_directory(m_folder, error)) {
        fs::create_directories(m_folder, error);
        if (!error && AppendInOneWrite(path, bytes))
            return true;
    }
    const int code = errno;
    if (failure.empty())
        failure = "cannot write " + path + ": " + std::strerror(code ? code : EIO);
    return false;
}

void DayFiles::Exchanged(const ExchangeRecord& record, const InstrumentState&) {
    if (record.Outcome == ExchangeOutcome::PortFailure)
        return;
    const std::string stem = m_folder + "/" + DayName(record.Sent);
    std::string failure;
    bool ok = true;
    if (m_exchangeLog)
        ok &= Append(stem + ".log", LogRecord(record), failure);
    const std::string csvPath = stem + ".csv";
    m_row.clear();
    if (MissingOrEmpty(csvPath))
        AppendCsvHeader(m_row, false);
    AppendCsvRow(m_row, record, false);
    ok &= Append(csvPath, m_row, failure);
    m_row.clear();
    AppendJsonLinesRow(m_row, record, false);
    ok &= Append(stem + ".jsonl", m_row, failure);
    if (!ok && !m_failing && m_report)
        m_report(failure);
    else if (ok && m_failing && m_report)
        m_report("writing " + m_folder + " again");
    m_failing = !ok;
}

int DayFiles::Prune(const std::string& folder, uint32_t keepDays, QDate today) {
    if (keepDays == 0)
        return 0;
    static const std::regex kDayFile(R"((\d{4})-(\d{2})-(\d{2})\.(log|csv|jsonl))");
    const QDate oldestKept = today.addDays(-qint64(keepDays));
    int removed = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        std::smatch match;
        if (!std::regex_match(name, match, kDayFile) || !entry.is_regular_file(error))
            continue;
        const QDate date(std::stoi(match[1]), std::stoi(match[2]), std::stoi(match[3]));
        if (date.isValid() && date < oldestKept && fs::remove(entry.path(), error))
            ++removed;
    }
    return removed;
}
