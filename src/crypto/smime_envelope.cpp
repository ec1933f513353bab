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

// The message as a text in memory, written into a buffer kept from one message to the next (all
// of it zero before and after). It grows into a fresh allocation and wipes the old one, so that
// no copy of the clear text is left in freed memory; the destructor wipes what was written.
class MessageText final : public MessageWriter {
 public:
  explicit MessageText(BStr& buffer) : text_(buffer) {
    if (!text_) text_.emplace();
    text_->clear();
  }
  ~MessageText() {
    SecureWipe(text_->data(), text_->size());
    text_->clear();
  }
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

  BStr& text_;
};

// The line of `text` that starts at *pos, without its LF and a CR before that; *pos moves past
// the LF.
std::string_view TakeLine(std::string_view text, size_t* pos) {
  size_t end = text.find('\n', *pos);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(*pos, end - *pos);
  *pos = end + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The line cut at a CR left in it.
std::string_view CutAtCr(std::string_view line) {
  const size_t cr = line.rfind('\r');
  return cr == std::string_view::npos ? line : line.substr(0, cr);
}

// True when no line of `text` (between LFs) is longer than kMaxLineBytes. Each look covers a
// window of kMaxLineBytes + 1 bytes from the start of a line: without a LF in it that line is too
// long; with one, every line that ends in the window fits, and the next look starts after its
// last LF.
bool LinesFit(std::string_view text) {
  size_t start = 0;
  while (text.size() - start > kMaxLineBytes) {
    const void* lf = memrchr(text.data() + start, '\n', kMaxLineBytes + 1);
    if (!lf) return false;
    start = static_cast<size_t>(static_cast<const char*>(lf) - text.data()) + 1;
  }
  return true;
}

// Where the body of a saved envelope starts: after its first empty header line, read as
// ExtractEnvelopeBody reads it. saved.size() or more when there is no body.
size_t EnvelopeBodyStart(std::string_view saved) {
  size_t pos = 0;
  while (pos < saved.size()) {
    std::string_view line = TakeLine(saved, &pos);
    if (line.size() > kMaxLineBytes) continue;  // header lines that long are passed over
    if (CutAtCr(line).empty()) return pos;
  }
  return pos;
}

// The body of `saved` as it stands in it, when ExtractEnvelopeBody and EnvelopeBodyOf would give
// the same bytes: no CR, no line longer than kMaxLineBytes, a LF at its end, ASCII only. Empty
// when it must be taken line by line.
std::string_view BodyAsItStands(std::string_view saved) {
  const size_t start = EnvelopeBodyStart(saved);
  if (start >= saved.size()) return {};
  std::string_view body = saved.substr(start);
  if (body.back() != '\n' || body.find('\r') != std::string_view::npos || !IsAscii(body) ||
      !LinesFit(body))
    return {};
  return body;
}

// Hands the body of the saved envelope to `take`, as it stands when it can.
HRESULT TakeEnvelopeBody(std::string_view saved, const EnvelopeBodyTaker& take) {
  std::string_view standing = BodyAsItStands(saved);
  if (!standing.empty()) return take(standing);
  std::string body;
  if (!EnvelopeBodyOf(saved, &body)) return E_FAIL;
  return take(body);
}

HRESULT SealInMemory(IAsasSmime& smime, IAsasSmimeMemory& memory, EnvelopeWorkspace& workspace,
                     const std::function<HRESULT(MessageWriter&)>& write,
                     const EnvelopeBodyTaker& take) {
  HRESULT hr;
  {
    MessageText message(workspace.MessageBuffer());
    hr = write(message);
    if (Succeeded(hr)) hr = memory.SmimeLoadText(message.Text());
  }
  if (Succeeded(hr)) hr = smime.SmimeEncrypt();
  BStr& saved = workspace.EnvelopeBuffer();
  if (Succeeded(hr)) hr = memory.SmimeSaveText(&saved);
  if (Failed(hr)) return hr;
  return saved ? TakeEnvelopeBody(*saved, take) : E_FAIL;
}

}  // namespace

HRESULT SealMessage(const AnonymizerContext& context,
                    const std::function<HRESULT(MessageWriter&)>& write, std::string* body) {
  if (!body) return E_POINTER;
  body->clear();
  return SealMessageTo(context, write, [body](std::string_view taken) {
    body->assign(taken);
    return S_OK;
  });
}

HRESULT SealMessageTo(const AnonymizerContext& context,
                      const std::function<HRESULT(MessageWriter&)>& write,
                      const EnvelopeBodyTaker& take) {
  const RetryWait wait = context.Wait();
  return context.WithEnvelopeWorkspace([&](EnvelopeWorkspace& workspace) {
    RefPtr<IAsasSmime> smime;
    HRESULT hr = workspace.Smime(&smime);
    if (Failed(hr)) return hr;
    if (RefPtr<IAsasSmimeMemory> memory = smime.As<IAsasSmimeMemory>())
      return SealInMemory(*smime, *memory, workspace, write, take);
    std::unique_ptr<MessageFile> file;
    hr = MessageFile::Create(workspace.Folder(), &file);
    if (Failed(hr)) return hr;
    hr = write(*file);
    if (Succeeded(hr)) hr = file->CloseForWriting();
    if (Succeeded(hr)) hr = SmimeEnvelopeFile(*smime, file->Path(), file->SavePath(), wait);
    std::string body;
    if (Succeeded(hr)) hr = ReadEnvelopeBody(*file, wait, &body);
    return Succeeded(hr) ? take(body) : hr;
  });
}

bool ExtractEnvelopeBody(std::string_view saved, std::string* body) {
  body->clear();
  size_t pos = EnvelopeBodyStart(saved);
  if (pos >= saved.size()) return false;
  // Without a CR in the body its lines are taken as they are, once none is too long.
  if (saved.find('\r', pos) == std::string_view::npos) {
    std::string_view rest = saved.substr(pos);
    if (!LinesFit(rest)) return false;
    body->reserve(rest.size() + 1);
    body->append(rest);
    if (rest.back() != '\n') body->push_back('\n');
    return true;
  }
  while (pos < saved.size()) {
    std::string_view line = TakeLine(saved, &pos);
    // A cut-off body could not be opened by the Trust Center: no body rather than half of one.
    if (line.size() > kMaxLineBytes) {
      body->clear();
      return false;
    }
    body->append(CutAtCr(line));
    body->push_back('\n');
  }
  return true;
}

bool EnvelopeBodyOf(std::string_view saved, std::string* body) {
  if (!ExtractEnvelopeBody(saved, body)) return false;
  // A body of base64 lines is ASCII, the same in both encodings: it is taken as it is.
  if (!IsAscii(*body)) {
    std::string lines = std::move(*body);
    WipeOnExit wipeLines(lines);
    *body = Cp1252ToUtf8(lines);
  }
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
