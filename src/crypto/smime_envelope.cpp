#include "crypto/smime_envelope.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "crypto/asas_objects.h"
#include "crypto/envelope_workspace.h"
#include "platform/codepage.h"
#include "platform/hresult_errno.h"
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

namespace {

// The message as a text in memory. It grows into a fresh allocation and wipes the old one, so
// that no copy of the clear text is left in freed memory; the destructor wipes it too.
class MessageText final : public MessageWriter {
 public:
  MessageText() : text_(std::in_place) {}
  ~MessageText() { SecureWipe(*text_); }
  MessageText(const MessageText&) = delete;
  MessageText& operator=(const MessageText&) = delete;

  HRESULT Append(std::string_view bytes) override {
    std::string& text = *text_;
    if (bytes.size() > kMaxEnvelopeBytes - text.size()) return HresultFromErrno(EFBIG);
    if (text.size() + bytes.size() > text.capacity())
      Grow(std::max(text.size() + bytes.size(), 2 * text.capacity()));
    text.append(bytes);
    return S_OK;
  }
  void Reserve(size_t more) override {
    const size_t size = text_->size();
    if (more <= kMaxEnvelopeBytes - size && size + more > text_->capacity()) Grow(size + more);
  }
  const BStr& Text() const { return text_; }

 private:
  void Grow(size_t capacity) {
    std::string bigger;
    bigger.reserve(capacity);
    bigger.append(*text_);
    SecureWipe(*text_);
    text_->swap(bigger);
  }

  BStr text_;
};

HRESULT SealInMemory(IAsasSmime& smime, IAsasSmimeMemory& memory,
                     const std::function<HRESULT(MessageWriter&)>& write, std::string* body) {
  HRESULT hr;
  {
    MessageText message;
    hr = write(message);
    if (Succeeded(hr)) hr = memory.SmimeLoadText(message.Text());
  }
  if (Succeeded(hr)) hr = smime.SmimeEncrypt();
  BStr saved;
  if (Succeeded(hr)) hr = memory.SmimeSaveText(&saved);
  if (Failed(hr)) return hr;
  if (!saved || !EnvelopeBodyOf(*saved, body)) return E_FAIL;
  return S_OK;
}

}  // namespace

HRESULT SealMessage(const AnonymizerContext& context,
                    const std::function<HRESULT(MessageWriter&)>& write, std::string* body) {
  if (!body) return E_POINTER;
  body->clear();
  const RetryWait wait = context.Wait();
  return context.WithEnvelopeWorkspace([&](EnvelopeWorkspace& workspace) {
    RefPtr<IAsasSmime> smime;
    HRESULT hr = workspace.Smime(&smime);
    if (Failed(hr)) return hr;
    if (RefPtr<IAsasSmimeMemory> memory = smime.As<IAsasSmimeMemory>())
      return SealInMemory(*smime, *memory, write, body);
    std::unique_ptr<MessageFile> file;
    hr = MessageFile::Create(workspace.Folder(), &file);
    if (Failed(hr)) return hr;
    hr = write(*file);
    if (Succeeded(hr)) hr = file->CloseForWriting();
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

bool EnvelopeBodyOf(std::string_view saved, std::string* body) {
  std::string lines;
  WipeOnExit wipeLines(lines);
  if (!ExtractEnvelopeBody(saved, &lines)) return false;
  // A body of base64 lines is ASCII, the same in both encodings: it is taken as it is.
  if (IsAscii(lines))
    *body = std::move(lines);
  else
    *body = Cp1252ToUtf8(lines);
  return true;
}

HRESULT ReadEnvelopeBody(const MessageFile& file, const RetryWait& wait, std::string* body) {
  if (!body) return E_POINTER;
  body->clear();
  for (int i = 0; i < kEnvelopeTries; ++i) {
    if (i > 0 && wait) wait();
    std::string saved;
    WipeOnExit wipeSaved(saved);
    if (Failed(file.Read(kMaxEnvelopeBytes, &saved))) continue;
    if (EnvelopeBodyOf(saved, body)) return S_OK;
  }
  return E_FAIL;
}

}  // namespace qx
