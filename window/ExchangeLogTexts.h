// The exchange log's own words, in Russian and English: its title, its columns, the verdicts
// of its rows, its counters and its commands. One small table until the front ends' text
// catalog takes them over.
#pragma once

#include <string_view>

#include "actions/OxaPortTexts.h"

namespace oxa {

enum class TLogText {
  kTitle,
  kColumnTime,
  kColumnDirection,
  kColumnBytes,
  kColumnMeaning,
  kColumnVerdict,
  kColumnResponse,
  kVerdictGood,
  kVerdictBadChecksum,
  kVerdictException,
  kVerdictIncomplete,
  kVerdictMalformed,
  kVerdictEcho,
  kVerdictNoAnswer,
  kPortOpened,
  kPortFailed,
  kPortClosed,
  kRequests,
  kGoodAnswers,
  kTimeouts,
  kChecksumErrors,
  kExceptions,
  kMedianResponse,
  kGreatestResponse,
  kDropped,
  kClear,
  kCopy,
  kSaveText,
  kSaveCsv,
  kCount  // the number of texts, not a text
};

std::string_view LogText(TLogText text, TLanguage language);

}  // namespace oxa
