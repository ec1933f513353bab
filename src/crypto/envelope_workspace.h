// EnvelopeWorkspace: what the envelopes of one Anonymizer step share, made once instead of once
// per envelope: the private message folder (message_file.h), the security client's S/MIME
// object and the buffers of messages and envelopes in memory. The step opens it through its
// AnonymizerContext before the first invoice and closes it after the last; the folder is removed
// then, with anything left in it, and also when the workspace is destroyed on any other path. An
// envelope made without an open workspace gets one of its own for that envelope only.
//
// Not thread-safe: AnonymizerContext hands it to one envelope at a time.
#pragma once

#include <memory>
#include <string>

#include "crypto/message_file.h"
#include "qendix/asas.h"

namespace qx {

class EnvelopeWorkspace {
 public:
  // Makes the message folder; the S/MIME object is made on first use.
  static HRESULT Create(std::unique_ptr<EnvelopeWorkspace>* workspace);
  ~EnvelopeWorkspace();
  EnvelopeWorkspace(const EnvelopeWorkspace&) = delete;
  EnvelopeWorkspace& operator=(const EnvelopeWorkspace&) = delete;

  MessageFolder& Folder() { return *folder_; }
  // Removes the message folder now (MessageFolder::Remove); the workspace is done with.
  HRESULT RemoveFolder() { return folder_->Remove(); }

  // The S/MIME object ("ASAS.SMIME"), created on the first call; a failed creation is returned
  // and tried again by the next call.
  HRESULT Smime(RefPtr<IAsasSmime>* smime);

  // Storage kept from one envelope to the next, since a fresh buffer for every envelope of a PDF
  // maps fresh memory each time: the message handed to the client in memory (clear text: whoever
  // writes into it wipes what was written before letting go of it, so that all of it is zero
  // between envelopes) and the envelope text the client hands back (no secret).
  BStr& MessageBuffer() { return message_; }
  BStr& EnvelopeBuffer() { return envelope_; }

 private:
  EnvelopeWorkspace() = default;
  std::unique_ptr<MessageFolder> folder_;
  RefPtr<IAsasSmime> smime_;
  BStr message_{std::in_place};
  BStr envelope_;
};

}  // namespace qx
