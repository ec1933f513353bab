#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/manual_reset_event.h"

namespace qx {
namespace {

TEST(MessageQueue, RunsPostedTasksInOrderUntilQuit) {
  MessageQueue queue;
  std::vector<int> ran;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(queue.Post([&ran, i] { ran.push_back(i); }));
  queue.PostQuit();
  EXPECT_FALSE(queue.Post([&ran] { ran.push_back(99); }));  // nothing after the quit message
  EXPECT_EQ(queue.Run(), 5u);
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(MessageQueue, OtherThreadsPostToTheOwningThread) {
  auto queue = std::make_shared<MessageQueue>();
  std::thread::id ranOn;
  int sum = 0;
  std::thread owner([&] { queue->Run(); });
  const std::thread::id ownerId = owner.get_id();
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i)
        queue->Post([&, t] {
          sum += t;
          ranOn = std::this_thread::get_id();
        });
    });
  for (auto& p : posters) p.join();
  queue->PostQuit();
  owner.join();
  EXPECT_EQ(sum, 100 * (0 + 1 + 2 + 3));
  EXPECT_EQ(ranOn, ownerId);
}

TEST(MessageQueue, ATaskMayPostFurtherTasks) {
  MessageQueue queue;
  std::vector<int> ran;
  queue.Post([&] {
    ran.push_back(1);
    queue.Post([&] { ran.push_back(2); });
    queue.PostQuit();
  });
  queue.Run();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(ManualResetEvent, StaysSetUntilReset) {
  ManualResetEvent event;
  EXPECT_FALSE(event.IsSet());
  std::thread setter([&] { event.Set(); });
  event.Wait();
  setter.join();
  EXPECT_TRUE(event.WaitFor(std::chrono::milliseconds(0)));
  event.Reset();
  EXPECT_FALSE(event.WaitFor(std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace qx
