#pragma once

// The window's exchange log: each record appended in two parts as the exchange goes, the send
// part once the request is written and the answer part once the read has ended, so the log
// shows a request whose answer is still awaited. A part that cannot be written is left out
// without a word; the exchange goes on.

#include "exchange_cycle.h"

#include <string>

class ExchangeLogWriter : public ExchangeListener {
public:
    // The file the next parts go to; empty: nothing is logged.
    void SetPath(std::string path) { m_path = std::move(path); }

    void RequestWritten(const ExchangeRecord& record) override;
    void AnswerRead(const ExchangeRecord& record) override;

private:
    std::string m_path;
};
