#pragma once

// Where the parts of the instrument's answer lie: "!" status text ";" twelve channel fields each
// ended by ";", the checksum text, CR. Positions count from 0 within each text. The reader's
// parser and the simulator's answers are both built on these.

namespace AnswerLayout {

inline constexpr char kStartMark = '!';
inline constexpr char kSeparator = ';';
inline constexpr char kEndMark = '\r';

inline constexpr unsigned kChannels = 12;
// The ';' that ends the status text is looked for in this many positions after the start mark,
// the one that ends a channel field in this many from the field's start.
inline constexpr unsigned kStatusSearch = 30;
inline constexpr unsigned kFieldSearch = 16;
inline constexpr unsigned kMaxChecksumText = 15;

// Status text: two-digit hexadecimal pairs at these characters; characters 0-20 are defined.
inline constexpr unsigned kKeysAt = 0;
inline constexpr unsigned kKeys2At = 2;
inline constexpr unsigned kStatusNumberAt = 6;
inline constexpr unsigned kInputsAt = 9;
inline constexpr unsigned kControlsAt = 11;
inline constexpr unsigned kRelaysHighAt = 17;
inline constexpr unsigned kRelaysLowAt = 19;
inline constexpr unsigned kStatusLength = 21;

// Channel field: the error code digit, the state digit, then the value text.
inline constexpr unsigned kErrorCodeAt = 0;
inline constexpr unsigned kStateAt = 1;
inline constexpr unsigned kValueAt = 2;

} // namespace AnswerLayout
