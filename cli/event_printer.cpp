#include "event_printer.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "json.h"

namespace qendix_cli {
namespace {

const char* LevelName(qx::tagMsgLevel level) {
  switch (level) {
    case qx::mlDebug:
      return "debug";
    case qx::mlInfo:
      return "info";
    case qx::mlWarning:
      return "warning";
    case qx::mlError:
      return "error";
    case qx::mlFatal:
      return "fatal";
  }
  return "?";
}

const char* OriginName(qx::tagMsgOrigin origin) {
  switch (origin) {
    case qx::moPReader:
      return "reader";
    case qx::moPChecker:
      return "checker";
    case qx::moPAnonymizer:
      return "anonymizer";
    case qx::moPEncrypter:
      return "encrypter";
    case qx::moPSender:
      return "sender";
    case qx::moIGReceiver:
      return "gate-receiver";
    case qx::moIGChecker:
      return "gate-checker";
  }
  return "?";
}

}  // namespace

EventPrinter::EventPrinter(bool json) : json_(json), progress_(!json && isatty(STDERR_FILENO)) {}

qx::HRESULT EventPrinter::qendixEvent(qx::tagMsgLevel level, qx::tagMsgClass mclass,
                                      qx::tagMsgOrigin origin, int32_t code,
                                      const qx::BStr& fileName, const qx::BStr& msg) {
  std::lock_guard lock(mutex_);
  if (level >= qx::mlError) sawError_ = true;
  if (json_) {
    std::printf("{\"level\":%d,\"class\":%d,\"origin\":%d,\"code\":%d,\"file\":%s,\"msg\":%s}\n",
                static_cast<int>(level), static_cast<int>(mclass), static_cast<int>(origin), code,
                JsonString(fileName).c_str(), JsonString(msg).c_str());
    std::fflush(stdout);
  } else {
    if (mclass == qx::mcCount) {
      total_ = code;
      handled_ = 0;
    } else if (mclass == qx::mcModule && fileName && (code == 2 || code == 3 || code >= 10)) {
      ++handled_;
    }
    PrintReadable(level, origin, fileName, msg);
  }
  bool is_end = mclass == qx::mcModule && code == 1 && level == qx::mlInfo && !fileName;
  if (is_end && origin == expected_) {
    endSeen_ = true;
    ended_.notify_all();
  }
  return qx::S_OK;
}

void EventPrinter::PrintReadable(qx::tagMsgLevel level, qx::tagMsgOrigin origin,
                                 const qx::BStr& file, const qx::BStr& msg) {
  if (progress_) std::fputs("\r\033[K", stderr);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char when[16];
  std::strftime(when, sizeof when, "%H:%M:%S", &local);
  std::printf("%s %-7s %-10s %s%s%s\n", when, LevelName(level), OriginName(origin),
              file ? file->c_str() : "", file ? ": " : "", msg ? msg->c_str() : "");
  std::fflush(stdout);
  if (progress_) DrawProgress();
}

void EventPrinter::DrawProgress() {
  if (total_ <= 0) return;
  int shown = handled_ > total_ ? total_ : handled_;
  int width = 30, filled = shown * width / total_;
  std::fprintf(stderr, "[%.*s%.*s] %d/%d", filled, "##############################", width - filled,
               "..............................", shown, total_);
  std::fflush(stderr);
}

qx::HRESULT EventPrinter::Ask(const qx::BStr& title, const qx::BStr& text, qx::VariantBool* yes) {
  if (!yes) return qx::E_POINTER;
  *yes = qx::VARIANT_FALSE;
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return qx::S_OK;
  {
    std::lock_guard lock(mutex_);
    if (progress_) std::fputs("\r\033[K", stderr);
    std::printf("%s: %s [y/N] ", title.value_or("").c_str(), text.value_or("").c_str());
    std::fflush(stdout);
  }
  char line[64];
  if (!std::fgets(line, sizeof line, stdin)) return qx::S_OK;
  // Yes in English, German and French; anything else is No.
  const char c = line[0];
  if (c == 'y' || c == 'Y' || c == 'j' || c == 'J' || c == 'o' || c == 'O') *yes = qx::VARIANT_TRUE;
  return qx::S_OK;
}

void EventPrinter::ExpectEnd(qx::tagMsgOrigin last_origin) {
  std::lock_guard lock(mutex_);
  expected_ = last_origin;
  endSeen_ = false;
  total_ = handled_ = 0;
}

bool EventPrinter::WaitForEnd(int ms) {
  std::unique_lock lock(mutex_);
  bool seen = ended_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return endSeen_; });
  if (seen && progress_) std::fputs("\r\033[K", stderr);
  return seen;
}

bool EventPrinter::SawError() const {
  std::lock_guard lock(mutex_);
  return sawError_;
}

}  // namespace qendix_cli
