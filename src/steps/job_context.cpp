#include "steps/job_context.h"

#include "crypto/anonymizer_context.h"
#include "crypto/asas_session.h"
#include "crypto/start_asas.h"
#include "platform/job_lock.h"

namespace qx {

JobContext::JobContext(JobHost& host, std::shared_ptr<CancelToken> cancel)
    : host_(host), cancel_(cancel ? std::move(cancel) : std::make_shared<CancelToken>()) {}

JobContext::~JobContext() {
  StopAsas();
}

void JobContext::GiveBackJobLock() const {
  if (!autoMode_) JobLock::Instance().Release();
}

bool JobContext::StartAsas(tagMsgOrigin origin) {
  StopAsas();
  return qx::StartAsas(host_, origin, Settings().asasLogin, &asasSession_);
}

void JobContext::StopAsas() {
  if (!asasSession_) return;
  asasSession_->Stop();
  asasSession_.reset();
}

void JobContext::SetAnonymizer(std::shared_ptr<AnonymizerContext> anonymizer) {
  anonymizer_ = std::move(anonymizer);
}

}  // namespace qx
