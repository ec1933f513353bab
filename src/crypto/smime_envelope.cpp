#include "crypto/smime_envelope.h"

#include <cstdint>
#include <cstring>

#include "crypto/asas_objects.h"
#include "crypto/envelope_workspace.h"
#include "platform/codepage.h"
#include "platform/secure_wipe.h"

namespace qx {
namespace {

constexpr size_t kMaxLineBytes = 1023;

bool IsAscii(std::string_view text) {
  // Eight bytes at a time: the high bits of all of them or'ed together.
  uint64_t any = 0;
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    any |= word;
  }
  for (; i < text.size(); ++i) any |= static_cast<unsigned char>(text[i]);
  return (any & 0x8080808080808080ull) == 0;
}

// Calls `attempt` up to kEnvelopeTries times while it fails, pausing between tries.
template <typename Attempt>
HRESULT Retry(const RetryWait& wait, Attempt attempt) {
  HRESULT hr = E_FAIL;
  for (int i = 0; i < kEnvelopeTries; ++i) {
    if (i > 0 && wait) wait();
    hr = attempt();
    if (Succeeded(hr)) return hr;
  }
  return hr;
}

}  // namespace

HRESULT SmimeEnvelopeFile(IAsasSmime& smime, const std::string& loadPath,
                          const std::string& savePath, const RetryWait& wait) {
  const BStr load = loadPath;
  HRESULT hr = Retry(wait, [&] { return smime.SmimeLoad(load); });
  if (Failed(hr)) return hr;
  hr = smime.SmimeEncrypt();
  if (Failed(hr)) return hr;
  const BStr save = savePath;
  hr = Retry(wait, [&] { return smime.SmimeSave(save); });
  return Failed(hr) ? hr : S_OK;
}

HRESULT SealMessage(const AnonymizerContext& context,
                    const std::function<HRESULT(MessageFile&)>& write, std::string* body) {
  if (!body) return E_POINTER;
  body->clear();
  const RetryWait wait = context.Wait();
  return context.WithEnvelopeWorkspace([&](EnvelopeWorkspace& workspace) {
    std::unique_ptr<MessageFile> file;
    HRESULT hr = MessageFile::Create(workspace.Folder(), &file);
    if (Failed(hr)) return hr;
    hr = write(*file);
    if (Succeeded(hr)) hr = file->CloseForWriting();
    if (Failed(hr)) return hr;
    RefPtr<IAsasSmime> smime;
    hr = workspace.Smime(&smime);
    if (Succeeded(hr)) hr = SmimeEnvelopeFile(*smime, file->Path(), file->SavePath(), wait);
    if (Succeeded(hr)) hr = ReadEnvelopeBody(*file, wait, body);
    return hr;
  });
}

bool ExtractEnvelopeBody(std::string_view saved, std::string* body) {
  body->clear();
  bool inBody = false;
  bool found = false;
  size_t pos = 0;
  while (pos < saved.size()) {
    // Without a CR in the body its lines are taken as they are, once none is too long.
    if (inBody && saved.find('\r', pos) == std::string_view::npos) {
      std::string_view rest = saved.substr(pos);
      for (size_t start = 0; start < rest.size();) {
        size_t end = rest.find('\n', start);
        if (end == std::string_view::npos) end = rest.size();
        if (end - start > kMaxLineBytes) return false;
        start = end + 1;
      }
      body->reserve(rest.size() + 1);
      body->append(rest);
      if (rest.back() != '\n') body->push_back('\n');
      return true;
    }
    size_t end = saved.find('\n', pos);
    if (end == std::string_view::npos) end = saved.size();
    std::string_view line = saved.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kMaxLineBytes) {
      // A cut-off body could not be opened by the Trust Center: no body rather than half of one.
      // Header lines that long are passed over.
      if (!inBody) continue;
      body->clear();
      return false;
    }
    size_t cr = line.rfind('\r');
    if (cr != std::string_view::npos) line = line.substr(0, cr);
    if (!inBody) {
      inBody = line.empty();
      continue;
    }
    body->append(line);
    body->push_back('\n');
    found = true;
  }
  if (!found) body->clear();
  return found;
}

HRESULT ReadEnvelopeBody(const MessageFile& file, const RetryWait& wait, std::string* body) {
  if (!body) return E_POINTER;
  body->clear();
  for (int i = 0; i < kEnvelopeTries; ++i) {
    if (i > 0 && wait) wait();
    std::string saved;
    WipeOnExit wipeSaved(saved);
    if (Failed(file.Read(kMaxEnvelopeBytes, &saved))) continue;
    std::string lines;
    WipeOnExit wipeLines(lines);
    if (ExtractEnvelopeBody(saved, &lines)) {
      // A body of base64 lines is ASCII, the same in both encodings: it is taken as it is.
      if (IsAscii(lines))
        *body = std::move(lines);
      else
        *body = Cp1252ToUtf8(lines);
      return S_OK;
    }
  }
  return E_FAIL;
}

}  // namespace qx
