// AnonymizerContext: what a running Anonymizer step shares with the code object and the S/MIME
// envelopes (the sender and recipients of every envelope, the PDF files that invoices may carry,
// how retries pause) and the bookkeeping of PDFs that were enveloped.
//
// The Anonymizer step creates one and keeps it in its job's context; it hands it (through a
// shared pointer) to the code objects of its transforms and to EncryptText and EncryptPdfs. A
// code object made by another program has none, and its Encrypt fails cleanly. While the step runs
// the context also holds the envelopes' shared workspace (envelope_workspace.h).
//
// Thread-safe: every member locks the context's mutex; envelopes take the workspace one at a
// time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/envelope_workspace.h"
#include "crypto/pdf_index.h"
#include "qendix/qendix.h"
#include "support/event_target.h"

namespace qx {

// One pause between two tries of a security-client call; one second in production, a counter
// in tests.
using RetryWait = std::function<void()>;
RetryWait OneSecondWait();

// One part that an envelope would seal, as an EnvelopeStandIn is shown it.
struct SealedPart {
  enum Kind { kText, kPdf };
  Kind kind = kText;
  // The PDF's file name (no folder); empty for a text.
  std::string name;
  // The clear text exactly as it would be sealed (Windows-1252, CR LF line ends); empty for a
  // PDF, whose bytes are not read.
  std::string_view clear;
  // The size of the clear text in bytes: the text's, or the PDF file's.
  uint64_t clearBytes = 0;
};

// Takes the place of the security client for every envelope of one context: it is shown what
// would be sealed, and gives the text that stands in the document where the envelope's body would
// be (plain text: no markup, no control characters but LF). Nothing reaches the security client.
// Used on the envelopes' thread.
class EnvelopeStandIn {
 public:
  virtual ~EnvelopeStandIn() = default;
  virtual HRESULT Seal(const SealedPart& part, std::string* body) = 0;
};

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
  // Names (no folder) of the PDF files taken out of the step's file list, in their order. A name
  // delivered before stays delivered.
  void SetPdfFiles(std::vector<std::string> names);
  std::vector<std::string> PdfFiles() const;
  void SetWithPdf(bool withPdf);
  bool WithPdf() const;
  // Set when the valid folder held a file whose kind could not be read: a slip missing from
  // PdfFiles() may be that file, so an invoice whose slip is not found must wait (EncryptPdfs)
  // rather than go without it.
  void SetPdfListIncomplete(bool incomplete);
  bool PdfListIncomplete() const;
  // The pause between tries of the security client (default: OneSecondWait()).
  void SetRetryWait(RetryWait wait);
  RetryWait Wait() const;
  // With a stand-in set, EncryptText and EncryptPdfs hand their clear parts to it instead of the
  // security client (a preview that must neither seal nor need the client). Null by default.
  void SetEnvelopeStandIn(std::shared_ptr<EnvelopeStandIn> standIn);
  std::shared_ptr<EnvelopeStandIn> StandIn() const;

  // The first PDF whose name begins with `key`, compared case-insensitively over the key's
  // length (StartsWithNoCase), among the PDFs not yet delivered. An empty key matches nothing.
  // A lookup does not compare the key with every name (pdf_index.h).
  std::optional<std::string> FindPdf(std::string_view key) const;

  // Records that `name` was enveloped for the invoice being anonymized. The PDF stays in the
  // valid folder until the transfer document that carries it has been saved.
  void MarkEnveloped(const std::string& name);
  // The PDFs enveloped since the last Deliver or Forget call.
  std::vector<std::string> EnvelopedPdfs() const;
  // Called after the transfer document of the current invoice has been saved: deletes the
  // enveloped PDFs from the valid folder, and they match no later key. False when one could not
  // be deleted (it is still counted as delivered; a PDF already gone is fine); `*undeleted` (may
  // be null) then receives each such name with its errno value. Without a valid folder nothing is
  // deleted and the records stay.
  bool DeleteEnvelopedPdfs(std::vector<std::pair<std::string, int>>* undeleted = nullptr);
  // Opens the workspace that the envelopes share until CloseEnvelopeWorkspace or the context's
  // end; its private message folder lives that long. The failure to make it is returned; the
  // envelopes then make their own, as without an open workspace. An open one stays as it is.
  HRESULT OpenEnvelopeWorkspace();
  // Closes the workspace: its folder is removed with everything in it. Waits for an envelope
  // that is being made. The failure to remove the folder is returned, with its path in `*folder`
  // (may be null); a later job removes what is left.
  HRESULT CloseEnvelopeWorkspace(std::string* folder = nullptr);
  // Runs `use` with the open workspace, one envelope at a time, or without an open one with a
  // workspace made for this call and removed after it. The result of `use`, or the failure to
  // make the workspace.
  HRESULT WithEnvelopeWorkspace(const std::function<HRESULT(EnvelopeWorkspace&)>& use) const;

  // How many PDF files SetPdfFiles gave. PdfAt: the name of the one at `position` (in their
  // order) and whether it was delivered in a saved transfer document (it then matches no later
  // key); false for a position past the end.
  size_t PdfCount() const;
  bool PdfAt(size_t position, std::string* name, bool* delivered) const;
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
  PdfIndex pdfs_;  // the PDF files, their order and which were delivered
  bool withPdf_ = false;
  bool pdfListIncomplete_ = false;
  RetryWait wait_;
  std::shared_ptr<EnvelopeStandIn> standIn_;
  std::vector<std::string> enveloped_;
  // Taken by an envelope for its whole course; never while mutex_ is held.
  mutable std::mutex envelopeMutex_;
  std::unique_ptr<EnvelopeWorkspace> workspace_;
};

}  // namespace qx
