// The log's pieces are 8-bit text; the log view shows wide text.
#pragma once

#include <QString>
#include <string>

namespace cardflash {

// Decodes one 8-bit log piece for the view. The program's 8-bit text is UTF-8 (what Qt uses for
// local 8-bit text and file names on this platform), so paths show as they are. The updater's
// own non-ASCII text, the full-width space of the device-found line, is Big5 and not valid
// UTF-8: a piece that is not valid UTF-8 is read as Big5, or, where no Big5 decoder exists, as
// Latin-1 so that every byte still shows.
QString DecodeLogText(const std::string& piece);

}  // namespace cardflash
