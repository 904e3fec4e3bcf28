#include "log_text.h"

#include <QByteArray>
#include <QStringDecoder>

namespace cardflash {

QString DecodeLogText(const std::string& piece) {
  const QByteArray bytes = QByteArray::fromRawData(piece.data(), static_cast<qsizetype>(piece.size()));
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(bytes);
  if (!utf8.hasError()) return text;
  QStringDecoder big5("Big5", QStringDecoder::Flag::Stateless);
  if (big5.isValid()) {
    text = big5.decode(bytes);
    if (!big5.hasError()) return text;
  }
  return QString::fromLatin1(bytes);
}

}  // namespace cardflash
