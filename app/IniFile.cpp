#include "app/IniFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// A line without its blanks, and without the byte order mark an editor may put before the
// first line.
QByteArray Trimmed(const QByteArray& line) {
  return (line.startsWith("\xEF\xBB\xBF") ? line.mid(3) : line).trimmed();
}

// "[name]" with optional blanks around it gives name; other lines give nullopt.
std::optional<QString> SectionName(const QByteArray& line) {
  const QByteArray t = Trimmed(line);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
  return QString::fromUtf8(t.mid(1, t.size() - 2)).trimmed();
}

// "key=value" gives key and value, both trimmed; comments and other lines give nullopt.
std::optional<QPair<QString, QString>> KeyValue(const QByteArray& line) {
  const QByteArray t = Trimmed(line);
  if (t.isEmpty() || t.front() == ';' || t.front() == '#' || t.front() == '[') return std::nullopt;
  const qsizetype eq = t.indexOf('=');
  if (eq <= 0) return std::nullopt;
  return QPair<QString, QString>(QString::fromUtf8(t.left(eq)).trimmed(),
                                 QString::fromUtf8(t.mid(eq + 1)).trimmed());
}

bool SameName(const QString& a, const QString& b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

}  // namespace

QList<QByteArray> TIniFile::Lines() const {
  QFile f(path_);
  if (!f.open(QIODevice::ReadOnly)) return {};
  QList<QByteArray> lines = f.readAll().split('\n');
  // A final line ending leaves one empty piece behind; it is not a line of its own.
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
  return lines;
}

QList<QPair<QString, QString>> TIniFile::ReadSection(const QString& section) const {
  QList<QPair<QString, QString>> result;
  bool inside = false;
  for (const QByteArray& line : Lines()) {
    if (auto name = SectionName(line)) {
      inside = SameName(*name, section);
    } else if (inside) {
      if (auto kv = KeyValue(line)) result.append(*kv);
    }
  }
  return result;
}

std::optional<QString> TIniFile::ReadString(const QString& section, const QString& key) const {
  for (const auto& kv : ReadSection(section)) {
    if (SameName(kv.first, key)) return kv.second;
  }
  return std::nullopt;
}

std::optional<int> TIniFile::ParseInteger(const QString& text) {
  QString t = text.trimmed();
  bool negative = false;
  if (t.startsWith('-') || t.startsWith('+')) {
    negative = t.startsWith('-');
    t = t.mid(1);
  }
  int base = 10;
  if (t.startsWith('$')) {
    base = 16;
    t = t.mid(1);
  } else if (t.startsWith("0x", Qt::CaseInsensitive)) {
    base = 16;
    t = t.mid(2);
  }
  if (t.isEmpty()) return std::nullopt;
  for (QChar c : t) {
    const bool digit = base == 10 ? c.isDigit() && c.unicode() < 128
                                  : QStringLiteral("0123456789abcdefABCDEF").contains(c);
    if (!digit) return std::nullopt;
  }
  bool ok = false;
  const qlonglong magnitude = t.toLongLong(&ok, base);
  if (!ok) return std::nullopt;
  const qlonglong value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int>(value);
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int def) const {
  const auto text = ReadString(section, key);
  if (!text) return def;
  return ParseInteger(*text).value_or(def);
}

bool TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
  QList<QByteArray> lines = Lines();
  // Keep the file's own line ending style.
  QFile probe(path_);
  bool crlf = false;
  if (probe.open(QIODevice::ReadOnly)) crlf = probe.readLine().endsWith("\r\n");
  for (QByteArray& line : lines) {
    if (line.endsWith('\r')) line.chop(1);
  }

  const QByteArray newLine = key.toUtf8() + '=' + value.toUtf8();
  qsizetype sectionAt = -1;
  qsizetype insertAt = -1;  // after the last non-blank line of the section
  bool done = false;
  for (qsizetype i = 0; i < lines.size() && !done; ++i) {
    if (auto name = SectionName(lines[i])) {
      if (sectionAt >= 0) break;  // the section ended without the key
      if (SameName(*name, section)) {
        sectionAt = i;
        insertAt = i + 1;
      }
      continue;
    }
    if (sectionAt < 0) continue;
    if (!lines[i].trimmed().isEmpty()) insertAt = i + 1;
    if (auto kv = KeyValue(lines[i]); kv && SameName(kv->first, key)) {
      lines[i] = newLine;
      done = true;
    }
  }
  if (!done) {
    if (sectionAt >= 0) {
      lines.insert(insertAt, newLine);
    } else {
      if (!lines.isEmpty() && !lines.back().trimmed().isEmpty()) lines.append(QByteArray());
      lines.append('[' + section.toUtf8() + ']');
      lines.append(newLine);
    }
  }

  const QByteArray eol = crlf ? "\r\n" : "\n";
  QByteArray text;
  for (const QByteArray& line : lines) text += line + eol;

  // Written to a temporary file and renamed over the old one, so a failed write (full disk,
  // no permission) never leaves a truncated settings file behind.
  // A settings file marked read-only stays untouched, as the rename would otherwise replace it.
  const QFileInfo info(path_);
  if (info.exists() && !info.isWritable()) return false;
  QSaveFile out(path_);
  // A writable settings file in a folder the user may not write to (the program's folder of a
  // shared installation) cannot get a temporary neighbour: it is then written in place.
  out.setDirectWriteFallback(true);
  if (!out.open(QIODevice::WriteOnly)) return false;
  if (out.write(text) != text.size()) {
    out.cancelWriting();
    return false;
  }
  return out.commit();
}
