#include "day_files.h"

#include "folder_files.h"
#include "record_format.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>

namespace {

std::string DayName(const LocalTime& t) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", unsigned(t.Year) % 10000u,
                  unsigned(t.Month) % 100u, unsigned(t.Day) % 100u);
    return text;
}

} // namespace

DayFiles::DayFiles(std::string folder, bool exchangeLog, Report report)
    : m_folder(std::move(folder)), m_exchangeLog(exchangeLog), m_report(std::move(report)) {}

bool DayFiles::Append(const std::string& name, std::string_view header, std::string_view bytes,
                      std::string& failure) {
    const AppendResult result = AppendToFolderFile(m_folder, name, header, bytes);
    if (result.Ok)
        m_appended.emplace_back(name, result.Before);
    if (!result.Ok && failure.empty()) {
        std::error_code error;
        const bool link = result.Error == ELOOP ||
                          (result.Error == ENOTDIR && std::filesystem::is_symlink(m_folder, error));
        const std::string why = link ? "a symbolic link (the service writes through none)"
                                : result.Error == EINVAL ? "not a regular file"
                                                         : std::strerror(result.Error);
        failure = "cannot write " + m_folder + "/" + name + ": " + why;
    }
    return result.Ok;
}

void DayFiles::Exchanged(const ExchangeRecord& record, const InstrumentState&) {
    if (record.Outcome == ExchangeOutcome::PortFailure)
        return;
    const std::string day = DayName(record.Sent);
    std::string failure;
    // An exchange goes into all three files or into none: the log is the record of truth, and
    // the CSV is always what reader-tool reads from it (a full disk cuts all three alike).
    m_appended.clear();
    bool ok = !m_exchangeLog || Append(day + ".log", {}, LogRecord(record), failure);
    if (ok) {
        m_row.clear();
        AppendCsvRow(m_row, record, false);
        if (m_header.empty())
            AppendCsvHeader(m_header, false);
        ok = Append(day + ".csv", m_header, m_row, failure);
    }
    if (ok) {
        m_row.clear();
        AppendJsonLinesRow(m_row, record, false);
        ok = Append(day + ".jsonl", {}, m_row, failure);
    }
    if (!ok)
        for (const auto& [name, size] : m_appended)
            CutFolderFile(m_folder, name, size);
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
    return RemoveFolderFiles(folder, [&](const std::string& name) {
        std::smatch match;
        if (!std::regex_match(name, match, kDayFile))
            return false;
        const QDate date(std::stoi(match[1]), std::stoi(match[2]), std::stoi(match[3]));
        return date.isValid() && date < oldestKept;
    });
}
