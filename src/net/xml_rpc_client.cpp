#include "net/xml_rpc_client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <utility>

#include "net/xml_document_text.h"
#include "net/xml_rpc_request.h"
#include "platform/call_guard.h"
#include "platform/fault_injection.h"

namespace qx {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxStatusText = 127;
constexpr std::chrono::milliseconds kConnectTimeout{30000};
constexpr std::chrono::milliseconds kStallTimeout{120000};

// The limits new clients take (SetDefaultTimeoutsForTesting), in milliseconds.
std::atomic<int64_t> g_connectMs{kConnectTimeout.count()};
std::atomic<int64_t> g_stallMs{kStallTimeout.count()};

void InitCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What one transfer collects and how it is watched; the callbacks below receive it.
struct Transfer {
  const std::atomic<bool>* aborted = nullptr;
  std::chrono::milliseconds stall{0};
  Clock::time_point lastMove = Clock::now();
  curl_off_t moved = -1;
  curl_off_t requestBytes = 0;
  // When the last byte of the request went out; the reply must be complete one stall time later.
  std::optional<Clock::time_point> sent;
  std::string body;
  std::string statusText;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t total = size * count;
  HRESULT hr = GuardedCall([&] {
    if (t->body.size() + total > XmlRpcClient::kMaxReplyBytes) return E_FAIL;
    t->body.append(data, total);
    return S_OK;
  });
  return Succeeded(hr) ? total : 0;  // 0 makes libcurl stop with a write error
}

// Keeps the reason phrase of the last status line ("HTTP/1.1 500 Internal Server Error"), as
// printable ASCII: it comes from the server and ends up in events and logs.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t total = size * count;
  HRESULT hr = GuardedCall([&] {
    std::string_view line(data, total);
    if (line.substr(0, 5) != "HTTP/") return S_OK;
    t->statusText.clear();
    size_t first = line.find(' ');
    size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) return S_OK;
    std::string_view reason = line.substr(second + 1);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
      reason.remove_suffix(1);
    for (char c : reason.substr(0, kMaxStatusText))
      t->statusText += (c >= 0x20 && c < 0x7f) ? c : '?';
    return S_OK;
  });
  return Succeeded(hr) ? total : 0;
}

// Ends the transfer when Abort was called, when no byte moved for the stall time, or when the
// reply is not complete one stall time after the request was sent.
int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* t = static_cast<Transfer*>(user);
  HRESULT hr = GuardedCall([&] {
    if (t->aborted->load()) return S_FALSE;
    const Clock::time_point now = Clock::now();
    if (!t->sent && uploaded >= t->requestBytes) t->sent = now;
    if (t->sent && now - *t->sent >= t->stall) return S_FALSE;
    if (downloaded + uploaded != t->moved) {
      t->moved = downloaded + uploaded;
      t->lastMove = now;
    } else if (now - t->lastMove >= t->stall) {
      return S_FALSE;
    }
    return S_OK;
  });
  return hr == S_OK ? 0 : 1;
}

// The lower-case scheme of `url`, empty when it is no absolute URL.
std::string SchemeOf(const std::string& url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
  char* scheme = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme) return {};
  std::string result(scheme);
  curl_free(scheme);
  return result;
}

}  // namespace

XmlRpcClient::XmlRpcClient(EventTarget& events, std::string endpointUrl)
    : events_(events),
      endpointUrl_(std::move(endpointUrl)),
      connectTimeout_(g_connectMs.load()),
      stallTimeout_(g_stallMs.load()) {
  InitCurl();
  CURL* curl = curl_easy_init();
  if (!curl) return;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/xml");
  // No "Expect: 100-continue" round trip before larger bodies.
  curl_slist* more = headers ? curl_slist_append(headers, "Expect:") : nullptr;
  if (!more) {
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return;
  }
  headers_ = more;
  curl_ = curl;
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "qendix");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers_);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  // Credentials travel only where a call gives them, never from the URL or a netrc file.
  curl_easy_setopt(curl, CURLOPT_DISALLOW_USERNAME_IN_URL, 1L);
  curl_easy_setopt(curl, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}

XmlRpcClient::~XmlRpcClient() {
  if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
  curl_slist_free_all(headers_);
}

void XmlRpcClient::SetDefaultTimeoutsForTesting(std::chrono::milliseconds connect,
                                                std::chrono::milliseconds stall) {
  g_connectMs.store(connect.count() > 0 ? connect.count() : kConnectTimeout.count());
  g_stallMs.store(stall.count() > 0 ? stall.count() : kStallTimeout.count());
}

void XmlRpcClient::SetTimeoutsForTesting(std::chrono::milliseconds connect,
                                         std::chrono::milliseconds stall) {
  connectTimeout_ = connect;
  stallTimeout_ = stall;
}

bool XmlRpcClient::Post(const std::string& url, const std::string& body, const std::string* user,
                        const std::string* password, long* status, std::string* statusText,
                        std::string* replyBody) {
  CURL* curl = static_cast<CURL*>(curl_);
  if (!curl || aborted_.load()) return false;
  // An injected failure ends the exchange before anything is sent, as a refused connection does.
  if (FaultHit(FaultKind::kHttp)) return false;
  Transfer transfer;
  transfer.aborted = &aborted_;
  transfer.stall = stallTimeout_;
  transfer.requestBytes = static_cast<curl_off_t>(body.size());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  if (user && password) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(curl, CURLOPT_USERNAME, user->c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, password->c_str());
  } else {
    curl_easy_setopt(curl, CURLOPT_USERNAME, nullptr);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, nullptr);
  }
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout_.count()));
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  const CURLcode rc = curl_easy_perform(curl);
  // The handle keeps no pointer into this call's data once it returns.
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
  if (rc != CURLE_OK) return false;
  long code = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code == 0) return false;
  *status = code;
  *statusText = std::move(transfer.statusText);
  *replyBody = std::move(transfer.body);
  return true;
}

void XmlRpcClient::RaiseError(int32_t code, std::optional<std::string> message) {
  events_.RaiseEvent(mlError, mcModule, moIGReceiver, code, std::nullopt, message);
}

bool XmlRpcClient::Exchange(XmlRpcCall call, const std::string& body, XmlReply* reply) {
  return ExchangeWith(call, body, nullptr, nullptr, reply);
}

bool XmlRpcClient::ExchangeWith(XmlRpcCall call, const std::string& body, const std::string* user,
                                const std::string* password, XmlReply* reply) {
  const std::string& url = call == XmlRpcCall::kInputGateWrite ? gateUrl_ : endpointUrl_;
  if (url.empty()) return false;
  FaultTagScope tag(call == XmlRpcCall::kSessionNew       ? "qendix.session.new"
                    : call == XmlRpcCall::kInputGateWrite ? "qendix.inputgate.write"
                    : call == XmlRpcCall::kSessionClose   ? "qendix.session.close"
                                                          : "qendix.querynewversion");
  long status = 0;
  std::string statusText;
  std::string replyBody;
  if (!Post(url, body, user, password, &status, &statusText, &replyBody)) return false;
  if (call == XmlRpcCall::kSessionClose) return true;
  if (status != 200) {
    RaiseError(static_cast<int32_t>(status),
               call == XmlRpcCall::kSessionNew ? "HTTP Error: " + statusText : statusText);
    return false;
  }
  XmlReply parsed = XmlReply::Parse(replyBody);
  if (std::optional<XmlRpcFault> fault = parsed.Fault()) {
    if (call != XmlRpcCall::kQueryNewVersion) RaiseError(fault->code, std::move(fault->message));
    return false;
  }
  if (reply) *reply = std::move(parsed);
  return true;
}

bool XmlRpcClient::IsAcceptableGateUrl(const std::string& endpointUrl, const std::string& gateUrl) {
  const std::string scheme = SchemeOf(gateUrl);
  if (SchemeOf(endpointUrl) == "https") return scheme == "https";
  return scheme == "http" || scheme == "https";
}

bool XmlRpcClient::OpenSession(const std::string& login, const std::string& password) {
  const std::string body =
      MethodCallBody("qendix.session.new", {{login}, {password}, {std::string_view("InputGate")}});
  XmlReply reply;
  if (!ExchangeWith(XmlRpcCall::kSessionNew, body, &login, &password, &reply)) return false;
  std::vector<std::string> strings = reply.StructStrings();
  if (strings.empty()) return false;
  sessionId_ = std::move(strings[0]);
  if (strings.size() < 2 || !IsAcceptableGateUrl(endpointUrl_, strings[1])) return false;
  gateUrl_ = std::move(strings[1]);
  return true;
}

bool XmlRpcClient::WriteDocument(const std::string& path) {
  rejected_ = false;
  if (!curl_ || gateUrl_.empty() || aborted_.load()) return false;
  std::string document;
  if (!LoadXmlFileAsUtf8(path, &document)) return false;
  const std::string body =
      MethodCallBody("qendix.inputgate.write", {{sessionId_}, {document, /*cdata=*/true}});
  document.clear();
  XmlReply reply;
  if (!Exchange(XmlRpcCall::kInputGateWrite, body, &reply)) return false;
  std::optional<std::vector<GateEvent>> events = reply.EventList();
  if (!events) return false;
  for (const GateEvent& e : *events) {
    events_.RaiseEvent(static_cast<tagMsgLevel>(e.level), static_cast<tagMsgClass>(e.mclass),
                       static_cast<tagMsgOrigin>(e.origin), e.code, e.fileName, e.message);
    if (e.mclass == mcModule && e.level >= mlError) rejected_ = true;
  }
  return true;
}

bool XmlRpcClient::CloseSession() {
  const std::string body = MethodCallBody("qendix.session.close", {{sessionId_}});
  return Exchange(XmlRpcCall::kSessionClose, body, nullptr);
}

}  // namespace qx
