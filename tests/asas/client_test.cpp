// The running client: login choice, start, stop and switch, shared through the home; and the
// status events with their delivery on the connecting thread's message queue.
#include <unistd.h>

#include <future>

#include <gtest/gtest.h>

#include "client_ops.h"
#include "message_queue.h"
#include "objects.h"
#include "status_bus.h"
#include "support.h"

namespace asas {
namespace {

using testing::AnyTextContains;
using testing::RecordingSink;
using testing::TempDir;

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(AddLogin(home, "alice", "dr-a", KeyType::kEc, nullptr), qx::S_OK);
    ASSERT_EQ(AddLogin(home, "bob", "dr-b", KeyType::kEc, nullptr), qx::S_OK);
  }

  bool Running(qx::IAsasClient* c) {
    qx::VariantBool running = 1;
    EXPECT_EQ(c->ClientIsRunning(&running), qx::S_OK);
    EXPECT_TRUE(running == qx::VARIANT_TRUE || running == qx::VARIANT_FALSE);
    return running == qx::VARIANT_TRUE;
  }

  std::string Current(qx::IAsasClientConf* c) {
    qx::BStr login;
    EXPECT_TRUE(qx::Succeeded(c->ConfCurrentLogin(&login)));
    return login.value_or("<null>");
  }

  TempDir dir;
  Home home{dir / "home"};
  qx::RefPtr<qx::IAsasClient> client = MakeClient(home);
  qx::RefPtr<qx::IAsasClientConf> conf = MakeClientConf(home);
};

TEST_F(ClientTest, StartsOnlyWithAChosenLoginWhoseKeyWorks) {
  EXPECT_FALSE(Running(client.Get()));
  qx::BStr login = std::string("stale");
  EXPECT_EQ(conf->ConfCurrentLogin(&login), qx::S_FALSE);
  EXPECT_FALSE(login.has_value());
  EXPECT_EQ(client->ClientStart(), qx::E_UNEXPECTED);
  EXPECT_EQ(conf->ConfSetCurrentLogin(std::string("carol")), qx::E_INVALIDARG);
  EXPECT_EQ(conf->ConfSetCurrentLogin(qx::BStr()), qx::E_INVALIDARG);

  ASSERT_EQ(unlink(home.KeyPath("dr-a").c_str()), 0);
  ASSERT_EQ(conf->ConfSetCurrentLogin(std::string("alice")), qx::S_OK);
  EXPECT_EQ(client->ClientStart(), kKeyUnusable);
  EXPECT_FALSE(Running(client.Get()));
  EXPECT_EQ(client->ClientStop(), qx::S_FALSE);
}

TEST_F(ClientTest, RunningStateAndLoginAreSharedThroughTheHome) {
  // A second pair of objects stands for a second process using the same home.
  auto client2 = MakeClient(home);
  auto conf2 = MakeClientConf(home);

  ASSERT_EQ(conf->ConfSetCurrentLogin(std::string("alice")), qx::S_OK);
  EXPECT_EQ(Current(conf2.Get()), "alice");
  ASSERT_EQ(client->ClientStart(), qx::S_OK);
  EXPECT_TRUE(Running(client2.Get()));
  EXPECT_EQ(client2->ClientStart(), qx::S_FALSE);  // already running with that login

  // Choosing another login while running keeps the login in use until the next start.
  ASSERT_EQ(conf2->ConfSetCurrentLogin(std::string("bob")), qx::S_OK);
  EXPECT_EQ(Current(conf.Get()), "alice");
  ASSERT_EQ(client2->ClientStart(), qx::S_OK);  // stops and starts with bob
  EXPECT_EQ(Current(conf.Get()), "bob");
  EXPECT_TRUE(Running(client.Get()));

  ASSERT_EQ(client->ClientStop(), qx::S_OK);
  EXPECT_FALSE(Running(client2.Get()));
  EXPECT_EQ(Current(conf2.Get()), "bob");  // the choice stays for the next start

  // The version is a text, the same for every object.
  qx::BStr v1, v2;
  ASSERT_EQ(client->ClientVersion(&v1), qx::S_OK);
  ASSERT_EQ(client2->ClientVersion(&v2), qx::S_OK);
  EXPECT_FALSE(v1.value_or("").empty());
  EXPECT_EQ(v1, v2);
}

TEST_F(ClientTest, EventsReachASinkOnTheQueueOfTheThreadThatConnectedIt) {
  auto sink = qx::RefPtr<RecordingSink>::Adopt(new RecordingSink);
  std::promise<std::thread::id> ready;
  std::shared_ptr<MessageQueue> queue;
  std::thread sink_thread([&] {
    queue = MessageQueue::ForCurrentThread();
    auto own_client = MakeClient(home);
    uint32_t cookie = testing::Connect(own_client.Get(), sink.Get());
    ready.set_value(cookie ? std::this_thread::get_id() : std::thread::id());
    queue->Run();
    testing::Disconnect(own_client.Get(), cookie);
  });
  std::thread::id sink_thread_id = ready.get_future().get();
  ASSERT_NE(sink_thread_id, std::thread::id());

  ASSERT_EQ(conf->ConfSetCurrentLogin(std::string("alice")), qx::S_OK);
  ASSERT_EQ(client->ClientStart(), qx::S_OK);
  ASSERT_EQ(conf->ConfSetCurrentLogin(std::string("bob")), qx::S_OK);
  ASSERT_EQ(client->ClientStart(), qx::S_OK);
  ASSERT_EQ(client->ClientStop(), qx::S_OK);

  // started alice; switched alice -> bob; stopped alice; started bob; stopped bob
  auto events = sink->WaitFor(5);
  queue->PostQuit();
  sink_thread.join();
  ASSERT_EQ(events.size(), 5u);
  for (const auto& e : events) {
    EXPECT_EQ(e.thread, sink_thread_id) << e.text;
    EXPECT_EQ(e.level, kStatusInfo) << e.text;
  }
  EXPECT_NE(events[0].text.find("started with login alice"), std::string::npos);
  EXPECT_NE(events[1].text.find("switched from alice to bob"), std::string::npos);
  EXPECT_NE(events[2].text.find("stopped (login alice)"), std::string::npos);
  EXPECT_NE(events[3].text.find("started with login bob"), std::string::npos);
  EXPECT_NE(events[4].text.find("stopped (login bob)"), std::string::npos);
}

TEST_F(ClientTest, SinkOfAThreadWithoutQueueIsCalledOnTheRaisingThread) {
  auto sink = qx::RefPtr<RecordingSink>::Adopt(new RecordingSink);
  uint32_t cookie = 0;
  std::thread([&] { cookie = testing::Connect(client.Get(), sink.Get()); }).join();
  ASSERT_NE(cookie, 0u);
  ASSERT_EQ(conf->ConfSetCurrentLogin(std::string("alice")), qx::S_OK);
  ASSERT_EQ(client->ClientStart(), qx::S_OK);
  auto events = sink->Events();  // delivered during the call, no waiting
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].thread, std::this_thread::get_id());

  testing::Disconnect(client.Get(), cookie);
  ASSERT_EQ(client->ClientStop(), qx::S_OK);
  EXPECT_EQ(sink->Events().size(), 1u);
}

TEST_F(ClientTest, EventsQueuedBeforeUnadviseOrForAnEndedThreadAreDropped) {
  auto queued_sink = qx::RefPtr<RecordingSink>::Adopt(new RecordingSink);
  auto ended_sink = qx::RefPtr<RecordingSink>::Adopt(new RecordingSink);
  // A thread that connects with a queue and ends without disconnecting.
  std::thread([&] {
    MessageQueue::ForCurrentThread();
    testing::Connect(client.Get(), ended_sink.Get());
  }).join();

  // This thread gets a queue, connects, and disconnects before running the posted event.
  auto queue = MessageQueue::ForCurrentThread();
  uint32_t cookie = testing::Connect(client.Get(), queued_sink.Get());
  ASSERT_NE(cookie, 0u);
  ASSERT_EQ(conf->ConfSetCurrentLogin(std::string("alice")), qx::S_OK);
  ASSERT_EQ(client->ClientStart(), qx::S_OK);
  EXPECT_TRUE(queued_sink->Events().empty());  // posted, not yet run
  testing::Disconnect(client.Get(), cookie);
  EXPECT_EQ(queue->RunPending(), 1u);
  EXPECT_TRUE(queued_sink->Events().empty());
  EXPECT_TRUE(ended_sink->Events().empty());
}

TEST_F(ClientTest, ConnectionPointRefusesWrongInterfacesAndCookies) {
  auto container = client.As<qx::IConnectionPointContainer>();
  ASSERT_TRUE(container);
  qx::RefPtr<qx::IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(qx::IAsasCollection::kIid, point.Put()),
            qx::CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(qx::IAsasEvents::kIid, point.Put()), qx::S_OK);
  qx::Guid iid;
  ASSERT_EQ(point->GetConnectionInterface(&iid), qx::S_OK);
  EXPECT_EQ(iid, qx::IAsasEvents::kIid);

  uint32_t cookie = 7;
  auto not_a_sink = MakeClientConf(home);
  EXPECT_EQ(point->Advise(not_a_sink.Get(), &cookie), qx::CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(point->Unadvise(12345), qx::CONNECT_E_NOCONNECTION);

  // A cookie of another client object is not this one's to take back.
  auto sink = qx::RefPtr<RecordingSink>::Adopt(new RecordingSink);
  auto other = MakeClient(home);
  uint32_t foreign = testing::Connect(other.Get(), sink.Get());
  ASSERT_NE(foreign, 0u);
  EXPECT_EQ(point->Unadvise(foreign), qx::CONNECT_E_NOCONNECTION);
}

TEST(MessageQueue, RunsMessagesInOrderUntilQuitAndRefusesOtherThreads) {
  auto queue = MessageQueue::ForCurrentThread();
  EXPECT_EQ(MessageQueue::OfCurrentThread(), queue);
  std::vector<int> seen;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) queue->Post([&seen, i] { seen.push_back(i); });
    queue->PostQuit();
    queue->Post([&seen] { seen.push_back(-1); });  // behind the quit message
    EXPECT_FALSE(queue->Run());                    // not the owner
  });
  EXPECT_TRUE(queue->Run());
  poster.join();
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_EQ(queue->RunPending(), 1u);
  EXPECT_EQ(seen.back(), -1);

  std::shared_ptr<MessageQueue> ended;
  std::thread([&] { ended = MessageQueue::ForCurrentThread(); }).join();
  EXPECT_FALSE(ended->Post([] {}));
  EXPECT_FALSE(ended->PostQuit());
}

}  // namespace
}  // namespace asas
