// Text at the edge of Qt: the form and its catalog speak UTF-8, the widgets QString.
#pragma once

#include <QString>
#include <string_view>

#include "actions/TextCatalog.h"

inline QString Q(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// The catalog's text `id` in `language`.
inline QString QText(oxa::TText id, oxa::TLanguage language) {
  return Q(oxa::Text(id, language));
}
