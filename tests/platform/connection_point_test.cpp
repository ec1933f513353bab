#include "platform/connection_point.h"

#include <gtest/gtest.h>

#include "common/event_recorder.h"

namespace qx {
namespace {

class Container final : public IUnknown {
 public:
  HRESULT QueryInterface(const Guid&, void**) override { return E_NOINTERFACE; }
  uint32_t AddRef() override { return ++refs; }
  uint32_t Release() override { return --refs; }
  uint32_t refs = 1;
};

TEST(ConnectionPoint, CookiesSlotsAndReuse) {
  Container c;
  ConnectionPoint<_IQendixEvents> point(&c);
  auto a = testing::EventRecorder::Create();
  auto b = testing::EventRecorder::Create();
  uint32_t ca = 0, cb = 0, cc = 0;
  ASSERT_EQ(point.Advise(a.Get(), &ca), S_OK);
  ASSERT_EQ(point.Advise(b.Get(), &cb), S_OK);
  EXPECT_NE(ca, cb);
  EXPECT_EQ(point.Snapshot().size(), 2u);
  EXPECT_EQ(point.Unadvise(ca), S_OK);
  EXPECT_EQ(point.Unadvise(ca), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point.Unadvise(0), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point.Unadvise(99), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(point.Advise(a.Get(), &cc), S_OK);
  EXPECT_EQ(cc, ca);  // the freed slot comes first again
  EXPECT_EQ(point.Snapshot().front().Get(), static_cast<_IQendixEvents*>(a.Get()));
  EXPECT_EQ(point.Advise(nullptr, &cc), E_POINTER);
  EXPECT_EQ(point.Advise(&c, &cc), CONNECT_E_CANNOTCONNECT);
  // The point keeps its container alive.
  point.AddRef();
  EXPECT_EQ(c.refs, 2u);
  point.Release();
}

}  // namespace
}  // namespace qx
