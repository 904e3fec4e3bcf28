#include "card_controller.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace cardsim {

namespace {

int hex_value(const std::string& s) {
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
    return -1;
  return static_cast<int>(std::strtol(s.c_str(), nullptr, 16));
}

}  // namespace

void CardController::on_open(int iface, SimTime now) {
  if (iface != 0 || !board_.settings().stale_reply_at_open) return;
  // Left over from a conversation that gave up before the reply came.
  Report stale(kReportSize, 0);
  stale[0] = 0x3F;
  const std::string junk = "STALE-REPLY-XXXX";
  std::copy(junk.begin(), junk.end(), stale.begin() + 6);
  pending_ = stale;
  ready_at_ = now;
}

void CardController::on_report(int iface, const std::uint8_t* data, std::size_t size, SimTime now) {
  // A second interface of the card does not speak the command protocol.
  if (iface != 0 || size < 2 || data[0] != 0x3F) return;
  std::size_t n = std::min<std::size_t>({data[1], size - 2, 62});
  std::string text(reinterpret_cast<const char*>(data) + 2, n);
  board_.record_command(text);
  if (!board_.settings().pulled_at_command.empty() && text == board_.settings().pulled_at_command) {
    board_.pull_out();
    return;
  }
  if (board_.settings().silent) return;
  handle(text, now);
}

void CardController::handle(const std::string& text, SimTime now) {
  if (text.size() < 10) return;
  const std::string type = text.substr(0, 2), group = text.substr(2, 2), item = text.substr(4, 2);
  const BoardSettings& s = board_.settings();
  if (type == "a1") {
    std::string data;
    if (group == "00" && item == "01") data = board_.application_version() + s.boot_version;
    else if (group == "00" && item == "02") data = s.product_text;
    else if (group == "01" && item == "01") data = std::string(8, '1');
    else if (group == "01" && (item == "04" || item == "05")) data = std::string(4, '1');
    else if (group == "02" && item == "01") data = std::string("000") + s.card_id;
    else if (group == "02" && item == "09") data = std::string(11, '2');
    else if (group == "02" && item == "10") {
      for (int i = 0; i < 32; ++i)
        data.push_back(i < read_count_ ? static_cast<char>(board_.storage()[(read_address_ + i) % 0x1000]) : '\0');
    } else {
      return;  // unknown request: the firmware ignores it
    }
    reply(text, data, now);
    return;
  }
  if (type != "21") return;
  if (group == "02" && item == "04" && text.compare(10, 4, "ISPE") == 0) {
    board_.restart(Mode::UsbBootLoader, now, s.isp_delay);
    return;
  }
  if (group == "02" && (item == "0e" || item == "0f")) {
    // 8-character prefix, then LL (characters that follow), AAA (address), then the payload.
    int follow = hex_value(text.substr(8, 2));
    int address = hex_value(text.substr(10, 3));
    if (follow < 3 || address < 0 || text.size() < 13) return;
    std::string payload = text.substr(13, static_cast<std::size_t>(follow - 3));
    if (item == "0e") {
      for (std::size_t i = 0; i < payload.size(); ++i)
        board_.storage()[(static_cast<std::size_t>(address) + i) % 0x1000] = static_cast<std::uint8_t>(payload[i]);
    } else {
      int count = hex_value(payload.substr(0, 2));
      if (count < 0) return;
      read_address_ = static_cast<std::uint16_t>(address);
      read_count_ = static_cast<std::uint8_t>(count);
    }
    reply(text, "OK", now);
  }
}

void CardController::reply(const std::string& text, const std::string& data, SimTime now) {
  Report r(kReportSize, 0);
  r[0] = 0x3F;
  r[1] = static_cast<std::uint8_t>(4 + data.size());
  // Bytes 2..5 echo the request's type, group and item; the host does not look at them.
  std::copy(text.begin() + 2, text.begin() + 6, r.begin() + 2);
  std::copy(data.begin(), data.begin() + std::min<std::size_t>(data.size(), kReportSize - 6), r.begin() + 6);
  if (pending_) return;
  int cut = board_.settings().short_reply;
  if (cut > 0 && static_cast<std::size_t>(cut) < r.size()) r.resize(static_cast<std::size_t>(cut));
  pending_ = std::move(r);
  ready_at_ = now + board_.settings().reply_latency;
}

std::optional<Report> CardController::take_input(int iface, SimTime now) {
  if (iface == 0 && board_.settings().reply_source) {
    // hidraw never delivers an empty report: one from the source means that none waits.
    std::optional<Report> r = board_.settings().reply_source(now);
    if (r && r->empty()) r.reset();
    return r;
  }
  if (iface != 0 || !pending_ || now < ready_at_) return std::nullopt;
  std::optional<Report> out = std::move(pending_);
  pending_.reset();
  return out;
}

}  // namespace cardsim
