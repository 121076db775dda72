#include "log_writer.h"

void ExchangeLogWriter::RequestWritten(const ExchangeRecord& r) {
    if (!m_path.empty())
        AppendToLog(m_path, LogSendPart(r.Sent, reinterpret_cast<const uint8_t*>(r.Request.data()),
                                        r.Request.size()));
}

void ExchangeLogWriter::AnswerRead(const ExchangeRecord& r) {
    if (!m_path.empty())
        AppendToLog(m_path, LogAnswerPart(r.Received, r.ExchangeMs,
                                          reinterpret_cast<const uint8_t*>(r.Answer.data()),
                                          r.Answer.size()));
}
