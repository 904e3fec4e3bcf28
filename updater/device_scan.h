// "Device Scan": opens a card-library context and logs the number of cards and the identity of
// the first card, the one an update will flash.
#pragma once

#include "context_holder.h"
#include <string>

#include "log_sink.h"

namespace cardflash {

// Opens a context into `context` (closing one it already holds) and logs what it found. True
// when the first card's identity was read, so that an update can follow; the context stays
// held whenever Tav_Init gave one.
bool ScanForCard(ContextHolder& context, LogSink& log);

// ScanForCard in two parts: the context and its count of cards (false when Tav_Init found none),
// then the identity of the card in `row` (false when it could not be read).
bool OpenCardContext(ContextHolder& context, LogSink& log);
// The firmware version read goes to `fw_version` when it is given.
bool LogCardIdentity(CardContext* context, LogSink& log, int row, std::string* fw_version = nullptr);

}  // namespace cardflash
