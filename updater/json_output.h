// The documents of --scan --json and --all --json on standard output.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace cardflash {

// Fields in the order written, as the man page lists them.
using Json = nlohmann::ordered_json;

// Null for what is not known.
inline Json TextOrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }

inline void WriteJson(const Json& document) {
  // A version is the card's own 4 bytes: what is not UTF-8 becomes U+FFFD.
  std::puts(document.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
  std::fflush(stdout);
}

}  // namespace cardflash
