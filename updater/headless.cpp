#include "headless.h"

#include <iconv.h>
#include <langinfo.h>

#include <clocale>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device_scan.h"
#include "update_sequence.h"

namespace cardflash {

namespace {

const char kUsage[] =
    "Usage: Cardflash [--scan | --update FILE | --help]\n"
    "Scan for the card controller and update its firmware from a TI-TXT file.\n"
    "\n"
    "  (no option)     open the Cardflash window\n"
    "  --scan          list the cards and show the identity of the first one\n"
    "  --update FILE   scan, then flash FILE into the first card (takes about 20 s)\n"
    "  -h, --help      show this text\n"
    "\n"
    "The RAM boot loader RAM_BSL_00.08.08.39.txt must lie in the program's folder.\n"
    "Exit status: 0 when the scan found a card (--scan) or the update completed and the\n"
    "card reported its new versions (--update); 1 when it failed; 2 on a usage error.\n";

// Log lines on standard output, as a terminal user expects them: LF line ends, and the
// device-found line's Big5 full-width space shown in the terminal's UTF-8 when it uses one.
class StdoutLog : public LogSink {
 public:
  StdoutLog() {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset && (!std::strcmp(codeset, "UTF-8") || !std::strcmp(codeset, "utf8")))
      big5_to_utf8_ = iconv_open("UTF-8", "BIG5");
  }
  ~StdoutLog() override {
    if (big5_to_utf8_ != reinterpret_cast<iconv_t>(-1)) iconv_close(big5_to_utf8_);
  }
  StdoutLog(const StdoutLog&) = delete;
  StdoutLog& operator=(const StdoutLog&) = delete;

  void Append(const std::string& piece) override {
    std::string text = Convert(piece);
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

 private:
  std::string Convert(const std::string& text) {
    if (big5_to_utf8_ == reinterpret_cast<iconv_t>(-1)) return text;
    bool plain = true;
    for (unsigned char c : text) plain = plain && c < 0x80;
    if (plain) return text;
    std::string in = text, out(text.size() * 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t src_left = in.size(), dst_left = out.size();
    iconv(big5_to_utf8_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(big5_to_utf8_, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) return text;
    out.resize(out.size() - dst_left);
    return out;
  }

  iconv_t big5_to_utf8_ = reinterpret_cast<iconv_t>(-1);
};

std::string FullPath(const char* path) {
  char resolved[PATH_MAX];
  return realpath(path, resolved) ? std::string(resolved) : std::string(path);
}

int Scan() {
  StdoutLog log;
  CardContext* context = nullptr;
  bool found = ScanForCard(&context, log);
  if (context) Tav_Close(context);
  return found ? kExitOk : kExitFailed;
}

int Update(const char* firmware_file) {
  StdoutLog log;
  CardContext* context = nullptr;
  if (!ScanForCard(&context, log)) {
    if (context) Tav_Close(context);
    return kExitFailed;
  }
  std::string path = FullPath(firmware_file);
  AppendLog(log, "Load Msp430 FW\r\n");
  AppendLog(log, "%s\r\n", path.c_str());
  SystemClock clock;
  UpdateRun run{&context, path, ExecutableDirectory(), log, clock};
  return RunUpdate(run) ? kExitOk : kExitFailed;
}

}  // namespace

bool WantsHeadless(int argc, char**) { return argc > 1; }

int RunHeadless(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  const std::string option = argc > 1 ? argv[1] : "";
  if (option == "-h" || option == "--help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (option == "--scan" && argc == 2) return Scan();
  if (option == "--update" && argc == 3) return Update(argv[2]);
  std::string problem = option == "--update" ? "--update needs exactly one FILE"
                        : option == "--scan"   ? "--scan takes no argument"
                                               : "unknown option '" + option + "'";
  std::fprintf(stderr, "Cardflash: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

}  // namespace cardflash
