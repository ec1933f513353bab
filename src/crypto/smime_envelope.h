// The security client's part of an envelope: load the message into its S/MIME object (as a text
// in memory when the client offers that, else as a message file), envelope it for the recipients
// of its "To: " line, save it (as a text, or into the message folder); then take the encrypted
// body out of the saved envelope (header lines, an empty line, body lines).
// Runs on the calling thread; the waits between tries block it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "crypto/anonymizer_context.h"
#include "crypto/message_file.h"
#include "qendix/com.h"

namespace qx {

// Tries of each security-client call that touches the message file, `wait` apart.
constexpr int kEnvelopeTries = 10;
// The largest saved envelope that is read back.
constexpr size_t kMaxEnvelopeBytes = 64u << 20;

// Has `smime` load `loadPath` (up to ten tries), envelope it and save it to `savePath` (up to ten
// tries). The failure code of the last load or save try, or of the encryption, is returned.
HRESULT SmimeEnvelopeFile(IAsasSmime& smime, const std::string& loadPath,
                          const std::string& savePath, const RetryWait& wait);

// One whole envelope in the context's workspace (AnonymizerContext::WithEnvelopeWorkspace): the
// message (header lines, an empty line, the body) is written by `write`, enveloped by the
// workspace's S/MIME object with the context's RetryWait, and *body is the encrypted body as
// ReadEnvelopeBody gives it. When the client takes messages in memory (IAsasSmimeMemory) the
// message is a text in this process's memory, grown without leaving copies in freed memory and
// wiped at the end, and the envelope comes back as a text: no file is made and no retry is
// needed. Otherwise it is a new message file, and the message file and the saved envelope are
// gone when it returns. The failure of the workspace, of `write`, of the client or of the read is
// returned.
HRESULT SealMessage(const AnonymizerContext& context,
                    const std::function<HRESULT(MessageWriter&)>& write, std::string* body);

// Takes an envelope's body; the view is valid only during the call. Its result is passed on.
using EnvelopeBodyTaker = std::function<HRESULT(std::string_view body)>;

// SealMessage handing the body to `take` instead: a body that needs no change (no CR, no line too
// long, ASCII, as the security client writes it) is handed as it stands in the client's text,
// without a copy of it.
HRESULT SealMessageTo(const AnonymizerContext& context,
                      const std::function<HRESULT(MessageWriter&)>& write,
                      const EnvelopeBodyTaker& take);

// The body lines of a saved envelope, each followed by LF: every line after the first empty one.
// Line ends (LF, CR LF) are removed and a line is cut at a CR left in it; a line longer than
// 1023 bytes ends the reading. False when no body line was found.
bool ExtractEnvelopeBody(std::string_view saved, std::string* body);

// The body of a saved envelope (ExtractEnvelopeBody), converted from Windows-1252 to UTF-8. False
// when no body line was found.
bool EnvelopeBodyOf(std::string_view saved, std::string* body);

// Reads the body of the saved envelope of `file`, up to ten tries `wait` apart while no body is
// found. E_FAIL when none of the tries found one. The body is converted from Windows-1252 to UTF-8.
HRESULT ReadEnvelopeBody(const MessageFile& file, const RetryWait& wait, std::string* body);

}  // namespace qx
