#pragma once

// An exchange record as text, for every output that writes one: the exchange log's bytes, a CSV
// row, a JSON Lines row and the state JSON a reading is published as. Pure functions of the
// record; the service's day files and MQTT and reader-tool's csv all write through them, so the
// same exchange reads the same everywhere.

#include "exchange_record.h"

#include <cstdint>
#include <string>

// The record as the exchange log holds it: its send part and its answer part in one string.
std::string LogRecord(const ExchangeRecord& record);

// CSV (RFC 4180, rows end in CR LF) and JSON Lines. Columns: the send stamp (ISO 8601, local
// time; "invalid" / null when it is no date), the exchange time, the network number, the
// variant, the answer's byte count, the outcome, then the reading (value, error code and state
// bits of each channel; keys, keys2, number, inputs, controls, relays), empty / null when the
// answer did not parse; with `raw`, the request and answer bytes in hexadecimal too.
void AppendCsvHeader(std::string& out, bool raw);
void AppendCsvRow(std::string& out, const ExchangeRecord& record, bool raw);
void AppendJsonLinesRow(std::string& out, const ExchangeRecord& record, bool raw);

// A reading as published: {"ts" (the answer's UTC time),"started" (when the publishing run
// began, UTC),"seq" (the instrument's count of good readings in that
// run),"exchange_ms","channels":[12 x
// {"value","error","break","setpoint1","setpoint2"}],"relays":[16],"inputs":[4],
// "controls":[2],"keys":[10] (keys[i] is KeyFlags entry i),"status_number"}. The record must
// hold a reading.
std::string StateJson(const ExchangeRecord& record, uint64_t seq, int64_t startedUtcMs);
