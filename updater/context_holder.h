// The updater holds a card-library context only through this holder: Tav_Close when it lets go.
#pragma once

#include <memory>

#include "cardlink.h"

namespace cardflash {

struct ContextCloser {
  void operator()(CardContext* context) const { Tav_Close(context); }
};
using ContextHolder = std::unique_ptr<CardContext, ContextCloser>;

}  // namespace cardflash
