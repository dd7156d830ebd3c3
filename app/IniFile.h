// The settings file: Windows INI text read and written in place. Reading re-reads the file, so
// edits made while the program runs are seen; writing one key rewrites only that key's line (or
// adds it) and keeps every other section, line, comment and line ending as it was.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

class TIniFile {
 public:
  explicit TIniFile(QString path) : path_(std::move(path)) {}

  const QString& FileName() const { return path_; }

  // The value of `key` in `section` (both compared without regard to case), trimmed; nullopt
  // when the file, the section or the key is missing.
  std::optional<QString> ReadString(const QString& section, const QString& key) const;
  // An integer in decimal, or hexadecimal with a leading $ or 0x/0X, optionally signed. A
  // missing, empty or unparsable value gives `def`.
  int ReadInteger(const QString& section, const QString& key, int def) const;
  // All keys of `section` with their values, in file order.
  QList<QPair<QString, QString>> ReadSection(const QString& section) const;

  // Sets `key` in `section`, creating the file, section or key as needed, and saves the file at
  // once. False when the file could not be written completely; the old file is then intact.
  bool WriteString(const QString& section, const QString& key, const QString& value);
  bool WriteInteger(const QString& section, const QString& key, int value) {
    return WriteString(section, key, QString::number(value));
  }

  // The integer rule of ReadInteger on one text.
  static std::optional<int> ParseInteger(const QString& text);

 private:
  QList<QByteArray> Lines() const;

  QString path_;
};
