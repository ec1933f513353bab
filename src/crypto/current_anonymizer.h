// The current anonymizer: what a running Anonymizer step shares with the code object and the
// S/MIME envelopes (the sender and recipients of every envelope, the PDF files that invoices may
// carry, how retries pause) and the bookkeeping of PDFs that were enveloped.
//
// The Anonymizer step owns an AnonymizerContext (through a shared pointer) and installs it as the
// process-wide current one for its lifetime with CurrentAnonymizerScope; Encrypt, EncryptText
// and EncryptPdfs find it with CurrentAnonymizer(). Without one installed they fail cleanly.
//
// Thread-safe: every member locks the context's mutex; the current pointer is guarded by a
// module mutex and handed out as a shared pointer, so a reader keeps the context alive even if
// the step clears it meanwhile.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qendix/qendix.h"
#include "support/event_target.h"

namespace qx {

// One pause between two tries of a security-client call; one second in production, a counter
// in tests.
using RetryWait = std::function<void()>;
RetryWait OneSecondWait();

class AnonymizerContext {
 public:
  // `events` (may be null) receives the events of the step's helpers, with `origin`.
  AnonymizerContext(EventTarget* events, tagMsgOrigin origin);
  AnonymizerContext(const AnonymizerContext&) = delete;
  AnonymizerContext& operator=(const AnonymizerContext&) = delete;

  EventTarget* Events() const { return events_; }
  tagMsgOrigin Origin() const { return origin_; }

  // The identity of the security-client login, written after "From: " (UTF-8).
  void SetSender(std::string sender);
  std::string Sender() const;
  // The Trust Center's recipient list, written after "To: " (UTF-8, comma separated).
  void SetRcpt(std::string rcpt);
  std::string Rcpt() const;
  // The step's "valid" folder, where the PDF files lie (UTF-8 path).
  void SetValidFolder(std::string folder);
  std::string ValidFolder() const;
  // Names (no folder) of the PDF files taken out of the step's file list, in their order.
  void SetPdfFiles(std::vector<std::string> names);
  std::vector<std::string> PdfFiles() const;
  void SetWithPdf(bool withPdf);
  bool WithPdf() const;
  // The pause between tries of the security client (default: OneSecondWait()).
  void SetRetryWait(RetryWait wait);
  RetryWait Wait() const;

  // The first PDF whose name begins with `key`, compared ASCII case-insensitively over the key's
  // length, among the PDFs not yet delivered. An empty key matches nothing.
  std::optional<std::string> FindPdf(std::string_view key) const;

  // Records that `name` was enveloped for the invoice being anonymized. The PDF stays in the
  // valid folder until the transfer document that carries it has been saved.
  void MarkEnveloped(const std::string& name);
  // The PDFs enveloped since the last Deliver or Forget call.
  std::vector<std::string> EnvelopedPdfs() const;
  // Called after the transfer document of the current invoice has been saved: deletes the
  // enveloped PDFs from the valid folder, and they match no later key. False when one could not
  // be deleted (it is still counted as delivered; a PDF already gone is fine); without a valid
  // folder nothing is deleted and the records stay.
  bool DeleteEnvelopedPdfs();
  // Called when the current invoice failed: the enveloped PDFs stay in the valid folder, free for
  // the next run.
  void ForgetEnvelopedPdfs();

 private:
  EventTarget* const events_;
  const tagMsgOrigin origin_;
  mutable std::mutex mutex_;
  std::string sender_;
  std::string rcpt_;
  std::string validFolder_;
  std::vector<std::string> pdfFiles_;
  bool withPdf_ = false;
  RetryWait wait_;
  std::vector<std::string> enveloped_;
  std::vector<std::string> delivered_;
};

// The installed context, or null when no Anonymizer runs.
std::shared_ptr<AnonymizerContext> CurrentAnonymizer();

// Installs a context as the current one for the scope's lifetime. Only one context can be
// current: if another is installed already the scope installs nothing (Installed() is false).
class CurrentAnonymizerScope {
 public:
  explicit CurrentAnonymizerScope(std::shared_ptr<AnonymizerContext> context);
  ~CurrentAnonymizerScope();
  CurrentAnonymizerScope(const CurrentAnonymizerScope&) = delete;
  CurrentAnonymizerScope& operator=(const CurrentAnonymizerScope&) = delete;
  bool Installed() const { return installed_; }

 private:
  std::shared_ptr<AnonymizerContext> context_;
  bool installed_ = false;
};

}  // namespace qx
