// The security client's part of an envelope: load the message file into its S/MIME object,
// envelope it for the recipients of its "To: " line, save it into the message folder; then read
// the encrypted body back out of the saved file (header lines, an empty line, body lines).
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

// One whole envelope in the context's workspace (AnonymizerContext::WithEnvelopeWorkspace): a new
// message file, filled by `write` (the message: header lines, an empty line, the body), enveloped
// by the workspace's S/MIME object with the context's RetryWait, and *body the encrypted body as
// ReadEnvelopeBody gives it. The message file and the saved envelope are gone when it returns.
// The failure of the workspace, of `write`, of the client or of the read is returned.
HRESULT SealMessage(const AnonymizerContext& context,
                    const std::function<HRESULT(MessageFile&)>& write, std::string* body);

// The body lines of a saved envelope, each followed by LF: every line after the first empty one.
// Line ends (LF, CR LF) are removed and a line is cut at a CR left in it; a line longer than
// 1023 bytes ends the reading. False when no body line was found.
bool ExtractEnvelopeBody(std::string_view saved, std::string* body);

// Reads the body of the saved envelope of `file`, up to ten tries `wait` apart while no body is
// found. E_FAIL when none of the tries found one. The body is converted from Windows-1252 to UTF-8.
HRESULT ReadEnvelopeBody(const MessageFile& file, const RetryWait& wait, std::string* body);

}  // namespace qx
