// The step framework's run seen through a job context of its own: a step whose work throws still
// ends with its fatal and end events and gives the lock back, and a cancel request stops the run
// before the next file.
#include "steps/step.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <new>
#include <stdexcept>

#include "common/temp_dir.h"
#include "platform/job_lock.h"
#include "steps/job_context.h"

namespace qx {
namespace {

class RecordingHost final : public JobHost {
 public:
  explicit RecordingHost(std::string work) { settings_.workDirectory = std::move(work); }
  void RaiseEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin, int32_t code,
                  const BStr& file, const BStr&) override {
    lines.push_back(std::to_string(level) + "|" + std::to_string(mclass) + "|" +
                    std::to_string(code) + "|" + file.value_or("-"));
  }
  JobSettings Settings() const override { return settings_; }
  std::string Session() const override { return "2026-12-08"; }
  void CloseLog() override {}
  bool AskYesNo(const std::string&, const std::string&) override { return false; }

  std::vector<std::string> lines;

 private:
  JobSettings settings_;
};

enum class Fault { kNone, kOutOfMemory, kOther };

// Lists the files of `work`/in and throws from ProcessFile when told to.
class ThrowingStep final : public PStep {
 public:
  ThrowingStep(JobContext& context, Fault fault, CancelToken* cancelAfterFirst = nullptr)
      : PStep(context, moPChecker, "Test", "ok", "fail"),
        fault_(fault),
        cancelAfterFirst_(cancelAfterFirst) {}

 protected:
  bool CheckPreconditions() override {
    sourceDir_ = settings_.workDirectory + "/in";
    targetDir_ = settings_.workDirectory + "/out";
    return true;
  }
  void ProcessFile(const std::string& name) override {
    if (fault_ == Fault::kOutOfMemory) throw std::bad_alloc();
    if (fault_ == Fault::kOther) throw std::runtime_error("broken");
    Raise(mlInfo, mcModule, 2, name, std::string("seen"));
    ++doneCount_;
    if (cancelAfterFirst_) cancelAfterFirst_->Cancel();
  }

 private:
  Fault fault_;
  CancelToken* cancelAfterFirst_;
};

class StepRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QENDIX_LOCK_FILE", (tmp_.path() + "/lock").c_str(), 1);
    ASSERT_EQ(::mkdir((tmp_.path() + "/in").c_str(), 0700), 0);
    for (const char* name : {"a.xml", "b.xml"})
      ASSERT_TRUE(testing::WriteFile(tmp_.path() + "/in/" + name, "<?xml version=\"1.0\"?><a/>"));
    ASSERT_TRUE(JobLock::Instance().TryAcquire());
  }

  testing::TempDir tmp_;
  RecordingHost host_{tmp_.path()};
  std::shared_ptr<CancelToken> cancel_ = std::make_shared<CancelToken>();
  JobContext context_{host_, cancel_};
};

TEST_F(StepRunTest, AThrowingStepEndsWithItsFatalAndEndEventsAndFreesTheLock) {
  struct Case {
    Fault fault;
    std::string fatal;
  } cases[] = {{Fault::kOutOfMemory, "4|0|12|-"},
               {Fault::kOther, "4|0|" + std::to_string(static_cast<int32_t>(E_UNEXPECTED)) + "|-"}};
  for (const Case& c : cases) {
    host_.lines.clear();
    ThrowingStep(context_, c.fault).Run();
    ASSERT_GE(host_.lines.size(), 3u);
    EXPECT_EQ(host_.lines[host_.lines.size() - 2], c.fatal);
    EXPECT_EQ(host_.lines.back(), "1|2|1|-");
    EXPECT_TRUE(JobLock::Instance().TryAcquire()) << "the lock was given back";
  }
}

TEST_F(StepRunTest, AutoModeKeepsTheLockAndACancelStopsBeforeTheNextFile) {
  context_.SetAutoMode(true);
  ThrowingStep(context_, Fault::kNone, cancel_.get()).Run();
  // One file processed, then the cancel warning (code 5) and the end event.
  ASSERT_EQ(host_.lines.size(), 5u);
  EXPECT_EQ(host_.lines[3], "2|2|5|-");
  EXPECT_FALSE(JobLock::Instance().TryAcquire()) << "auto mode keeps the lock";
  // A cancelled job's later steps do no work and send nothing.
  host_.lines.clear();
  context_.SetAutoMode(false);
  ThrowingStep(context_, Fault::kNone).Run();
  EXPECT_TRUE(host_.lines.empty());
  EXPECT_TRUE(JobLock::Instance().TryAcquire());
}

// Moves every file to the target folder, or to the error folder when told to, and removes
// `vanishing` after the first file.
class MovingStep final : public PStep {
 public:
  MovingStep(JobContext& context, bool toError, std::string vanishing)
      : PStep(context, moPChecker, "Test", "ok", "fail"),
        toError_(toError),
        vanishing_(std::move(vanishing)) {}

 protected:
  bool CheckPreconditions() override {
    sourceDir_ = settings_.workDirectory + "/in";
    targetDir_ = settings_.workDirectory + "/out";
    return true;
  }
  void ProcessFile(const std::string& name) override {
    if (toError_)
      MoveToError(name);
    else
      MoveToTarget(name);
    if (!vanishing_.empty()) std::filesystem::rename(vanishing_, vanishing_ + "-gone");
    vanishing_.clear();
  }

 private:
  bool toError_;
  std::string vanishing_;
};

// The step makes its folders once; one that is removed during the run is made again.
TEST_F(StepRunTest, AFolderRemovedDuringTheRunIsMadeAgain) {
  const std::string work = tmp_.path();
  const struct {
    bool toError;
    std::string vanishing, second;  // where the second file goes
  } cases[] = {
      {false, work + "/out", work + "/out"},
      {true, work + "/err/2026-12-08", work + "/err/2026-12-08"},
      {true, work + "/err", work + "/err/2026-12-08"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(c.vanishing + "-gone");
    for (const char* name : {"a.xml", "b.xml"})
      ASSERT_TRUE(testing::WriteFile(work + "/in/" + name, "<?xml version=\"1.0\"?><a/>"));
    MovingStep(context_, c.toError, c.vanishing).Run();
    auto count = [](const std::string& folder) {
      std::error_code ec;
      auto it = std::filesystem::directory_iterator(folder, ec);
      return ec ? -1 : static_cast<int>(std::distance(it, std::filesystem::directory_iterator()));
    };
    EXPECT_EQ(count(c.second), 1) << c.vanishing;
    EXPECT_EQ(std::filesystem::directory_iterator(work + "/in"),
              std::filesystem::directory_iterator())
        << c.vanishing;
    ASSERT_TRUE(JobLock::Instance().TryAcquire());
  }
}

}  // namespace
}  // namespace qx
