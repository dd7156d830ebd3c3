// Every text the front ends show, in Russian and in English: the window's captions, its status
// messages, the lines the actions add to the data pane, the doser's state words, the outcome
// texts and the integrators' units. The windows and fulctl ask here and write none of these
// themselves, so each text exists once and both languages stay together. Russian is the
// windows' own language; fulctl speaks English unless told otherwise.
//
// Texts that come from outside (a device's identification, a path, a system error) are never
// here: they are shown as they come. Texts that read the same in both languages ("OK",
// "Failed", "ErrCode=", "ID = ") stay with the action that writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "serial/OxaUtils.h"

namespace oxa {

enum class TLanguage { kRussian, kEnglish };

// The language a front end was told ("ru", "en", in any case); nothing for any other text.
std::optional<TLanguage> ParseLanguage(std::string_view text);
// "ru" or "en", as the command line and the settings file spell it.
std::string_view LanguageName(TLanguage language);

enum class TText : uint16_t {
  // The window's captions, by control.
  kGroupBox1,
  kLabel1,
  kLabel2,
  kLabel3,
  kGroupBox6,
  kButton2,
  kButton3,
  kLabel17,
  kLabel18,
  kButton4,
  kButton5,
  kLabel19,
  kGroupBox7,
  kLabel20,
  kGroupBox8,
  kLabel21,
  kButton6,
  kButton7,
  kButton8,
  kButton9,
  kButton10,
  kButton12,
  kButton11,
  kButton1,
  // The status line, each followed by what it names (a port, a speed).
  kReady,           // "Готов к работе:   " port ", " speed " bps"
  kOpeningPort,     // "Открытие порта " port
  kPortNotOpened,   // "Не удалось открыть порт " port
  kSendingRequest,  // "Отправка запроса "
  kClosingPort,     // "Закрытие порта " port
  kNoStampData,     // a stamp record without its markers
  // The window's messages.
  kUnableToWrite,          // "Unable to write to " path
  kVirtualDeviceCaption,   // after the window's caption
  kVirtualDeviceFailed,    // followed by the reason
  kVirtualDevicePortHint,  // after the address in a port's tooltip
  kLanguageMenuEnglish,    // the window's menu entries of the two languages
  kLanguageMenuRussian,
  // A settings file the window does not touch: "Файл настроек " path, then why, then what
  // the window does instead.
  kSettingsFile,
  kSettingsNotRegular,
  kSettingsLargerThan,  // followed by the size limit in kilobytes
  kKilobytes,
  kSettingsLeftAlone,
  // A port's tooltip: the address, then what lies there.
  kPortMalformed,  // followed by the problem and ")"
  kPortTcpServer,
  kPortModbusTcpServer,
  kPortAbsent,
  // The data pane.
  kDataLine,        // above the data bytes
  kDoserStateLine,  // followed by the state word
  kDoserStopped,
  kDoserRunning,
  kDoserPaused,
  kDoserError,
  // The outcome texts of TOxaError 0..7, beside their numbers.
  kError0,
  kError1,
  kError2,
  kError3,
  kError4,
  kError5,
  kError6,
  kError7,
  // What an exchange came to, in the user's terms: fulctl's texts for people (its JSON
  // error_text, its CSV outcome, the reason it gives). OutcomeText puts them together.
  kOutcomeNotSent,
  kOutcomeEchoAltered,
  kOutcomeNot10xOverModbusTcp,
  kOutcomePortLost,
  kOutcomeConnectionClosed,
  kOutcomeNoAnswer,  // followed by the device's address
  kOutcomeWrongSize,
  kOutcomeWrongAddress,
  kOutcomeBadChecksum,
  kOutcomePortNotOpen,
  kOutcomeException,  // followed by the exception's number and, in brackets, its name
  // A device's refusal: "Exception 02: " then the name of its Modbus exception code (English
  // as protocols/ names them); codes without a name have none.
  kException,
  kException01,
  kException02,
  kException03,
  kException04,
  kException05,
  kException06,
  kException07,
  kException08,
  kException0A,
  kException0B,
  // The integrators' units (the names are in actions/Integrator.h).
  kUnitCubicMetres,
  kUnitTonnes,
  kUnitSeconds,
  kUnitCubicMetresPerHour,
  kUnitTonnesPerHourLatin,     // the unit of Gm1, with a Latin T in Russian
  kUnitTonnesPerHourCyrillic,  // the unit of Gm2, with a Cyrillic Т in Russian
  kUnitDegrees,
  kUnitMegapascals,
  // The exchange log: its title, its columns, its rows' verdicts and port lines, its counters
  // and its commands.
  kLogTitle,
  kLogColumnTime,
  kLogColumnDirection,
  kLogColumnBytes,
  kLogColumnMeaning,
  kLogColumnVerdict,
  kLogColumnResponse,
  kLogColumnTimeHint,
  kLogColumnResponseHint,
  kLogVerdictGood,
  kLogVerdictBadChecksum,
  kLogVerdictException,
  kLogVerdictIncomplete,
  kLogVerdictMalformed,
  kLogVerdictEcho,
  kLogVerdictNoAnswer,
  kLogBytesDropped,  // the bytes dropped before it, the bytes kept after it
  // The exchange log's meanings of frames, built of these pieces with the numbers between
  // them: "Modbus addr 1 fn 3 read holding registers, CRC ok", "10x answer addr 1 cmd 0F 01
  // N=2, checksum ok".
  kFrameTooShort,  // after "Modbus, " or "10x, "
  kFrameAddress,
  kFrameFunction,
  kFrameReadHoldingRegisters,
  kFrameWriteSingleRegister,
  kFrameWriteMultipleRegisters,
  kFrameReportDeviceId,
  kFrameReadArchiveBlock,
  kFrameException,  // then the code and its name
  kFrameCrcOk,
  kFrameCrcBad,
  kFrameIncomplete,  // ": " bytes there, kFrameOf, bytes the frame needs, kFrameBytes
  kFrameOf,
  kFrameBytes,
  kFrameStandardLayout,  // ": " then the identification's fields
  kFrameFulLayout,       // then the text's length and kFrameBytes
  kFrameBytesAfter,      // after the number of bytes after the frame
  kFrameRequest,
  kFrameAnswer,
  kFrameComplementBad,
  kFrameCommand,
  kFrameLengthBad,
  kFrameChecksumOk,
  kFrameChecksumBad,
  kFrameEcho,
  // A Modbus TCP frame: "Modbus TCP transaction 1 addr 1 fn 3 ..., header ok".
  kFrameTransaction,
  kFrameHeaderOk,
  kFrameProtocolIdBad,
  kLogPortOpened,
  kLogPortFailed,
  kLogPortClosed,
  kLogRequests,
  kLogGoodAnswers,
  kLogTimeouts,
  kLogChecksumErrors,
  kLogExceptions,
  kLogMedianResponse,
  kLogGreatestResponse,
  kLogDropped,
  kLogClear,
  kLogCopy,
  kSelectAll,  // the data pane's menu
  kLogSaveText,
  kLogSaveCsv,
  // The form's other windows: titles, which are also their entries in the data pane's menu.
  kMonitorTitle,
  kArchiveRangeTitle,
  // Archive ranges: the window's fields and buttons, its progress line (the numbers between
  // the pieces), and the outcomes, each followed by what it names.
  kArchiveFirstBlock,
  kArchiveLastBlock,
  kArchiveFileLabel,
  kArchiveBrowse,
  kArchiveResume,
  kArchiveStart,
  kArchiveStop,
  kArchiveClose,
  kArchiveFileFilter,
  kArchiveProgressBlocks,        // "Blocks " done
  kArchiveOf,                    // " of " total
  kArchivePerSecond,             // ", " rate " blocks/s"
  kArchiveTimeLeft,              // ", time left " m:ss
  kArchiveComplete,              // path
  kArchiveStopped,               // done " of " total
  kArchiveIdentificationFailed,  // the outcome's text
  kArchiveBlock,                 // number, then kArchiveNotRead
  kArchiveNotRead,               // the outcome's text
  kArchiveBadRange,              // the highest block, then kArchiveBadRangeEnd
  kArchiveBadRangeEnd,
  kArchiveNoPath,
  kArchiveFileRefused,     // path, then what lies there
  kArchiveNoRecord,        // the record's path
  kArchiveBadRecord,       // the record's path
  kArchiveOtherRange,      // the record's first "-" last
  kArchiveNotWholeBlocks,  // path
  kArchiveOtherDevice,     // the recorded identification
  kArchiveWriteFailed,     // path ": " reason
  kArchiveCommitFailed,    // path ": " reason
  kArchiveInUse,           // path, then kArchiveHeldBy and who where known
  kArchiveHeldBy,          // the holder: "fulctl (PID 1234)"
  kArchiveWhole,           // path
  kArchivePortBusy,
  // Monitor: polled values and their log (time, outcome, the doser's state column).
  kPollTime,
  kPollOutcome,
  kPollDoserState,
  kMonitorIntegrators,
  kMonitorFirstRegister,
  kMonitorRegisterCount,
  kMonitorInterval,
  kMonitorLog,
  kMonitorBrowse,
  kMonitorStart,
  kMonitorStop,
  kMonitorColumnName,
  kMonitorColumnValue,
  kMonitorColumnUnit,
  kMonitorColumnTime,
  kMonitorReads,
  kMonitorFailures,
  kMonitorCsvFilter,
  kMonitorIntervalTooShort,
  kMonitorNothingChosen,
  kMonitorLogUnwritable,
  kMonitorLogFailed,
  kMonitorNotRegular,
  kMonitorNotOurs,     // after what the file is: another user's, or others may write it
  kMonitorLogExists,   // then the path
  kMonitorReplaceLog,  // then the path and "?"
  kMonitorAddresses,
  kMonitorAddressesHint,
  kMonitorRegisterType,
  kMonitorBadAddresses,
  kMonitorTypeCount,  // then the type's name
  // The monitor's plot: its menu and what it says of itself.
  kPlotPause,
  kPlotFollow,
  kPlotCopy,
  kPlotSave,
  kPlotPngFilter,
  kPlotSaveFailed,  // then the path
  kPlotPaused,
  kCount
};

// The text `id` in `language`; empty only for kCount.
std::string_view Text(TText id, TLanguage language);
// The outcome text of `code` (ErrorMessages in Russian); empty for a code without one.
std::string_view ErrorText(uint32_t code, TLanguage language);
inline std::string_view ErrorText(TOxaError code, TLanguage language) {
  return ErrorText(static_cast<uint32_t>(code), language);
}
// The name of Modbus exception `code` ("illegal data address"); empty for a code without one.
std::string_view ExceptionName(uint8_t code, TLanguage language);

// The line as it stood when an exchange ended, for the words of its outcome.
struct TOutcomeLine {
  uint8_t address = 0;
  bool lost = false;         // the port lost its device, or the server closed the connection
  bool tcp = false;          // a serial device server or a Modbus TCP server, reached over TCP
  bool echo_failed = false;  // the request came back altered, or not at all, on an echoing line
  bool ten_x_over_modbus_tcp = false;  // a 10x command on a modbus-tcp:// port: nothing sent
};
// What an exchange came to, for a person rather than as the window's ErrCode: "no answer from
// address 3", "exception 02 (illegal data address)", "checksum wrong", "echo altered or
// missing", "the port lost its device", ... Code 0 gives ErrorText's.
std::string OutcomeText(TOxaError code, uint8_t exception, const TOutcomeLine& line,
                        TLanguage language);

}  // namespace oxa
