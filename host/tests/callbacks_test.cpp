// Callbacks: order, registration rules and changes during a notification.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/cbDispatcher.h"

namespace {

struct Recorder : CbHandler<int const> {
  Recorder(std::vector<std::string>& log, std::string name) : log(log), name(std::move(name)) {}
  void call(int const& v) override {
    log.push_back(name + std::to_string(v));
    if (action) action();
  }
  std::vector<std::string>& log;
  std::string name;
  std::function<void()> action;
};

TEST(CallbackTest, CallsInOrderOnceEach) {
  std::vector<std::string> log;
  CbDispatcher<int const> d;
  Recorder a(log, "a"), b(log, "b");
  EXPECT_TRUE(d.addHandler(&a));
  EXPECT_TRUE(d.addHandler(&b));
  EXPECT_FALSE(d.addHandler(&a));
  EXPECT_FALSE(d.addHandler(nullptr));
  d.call(1);
  EXPECT_TRUE(d.removeHandler(&a));
  EXPECT_FALSE(d.removeHandler(&a));
  d.call(2);
  EXPECT_EQ(log, (std::vector<std::string>{"a1", "b1", "b2"}));
}

TEST(CallbackTest, ChangesDuringANotificationTakeEffectSafely) {
  std::vector<std::string> log;
  auto d = std::make_unique<CbDispatcher<int const>>();
  Recorder a(log, "a"), c(log, "c");
  auto b = std::make_unique<Recorder>(log, "b");
  Recorder late(log, "late");
  for (CbHandler<int const>* h : {static_cast<CbHandler<int const>*>(&a), static_cast<CbHandler<int const>*>(b.get()),
                                  static_cast<CbHandler<int const>*>(&c)})
    d->addHandler(h);
  a.action = [&] {
    d->removeHandler(&c);  // removed before its turn: not called
    b.reset();             // destroyed while registered: leaves the dispatcher
    d->addHandler(&late);  // added now: called from the next notification on
  };
  d->call(1);
  EXPECT_EQ(log, (std::vector<std::string>{"a1"}));
  EXPECT_EQ(d->getHandlerCount(), 2u);
  a.action = [&] { d.reset(); };  // the dispatcher goes during its own call
  d->call(2);
  EXPECT_EQ(log, (std::vector<std::string>{"a1", "a2"}));
  Recorder after(log, "x");  // handlers outlive the dispatcher cleanly
}

TEST(CallbackTest, AHandlerTakingTheAddressOfADestroyedOneWaitsForTheNextNotification) {
  std::vector<std::string> log;
  CbDispatcher<int const> d;
  Recorder a(log, "a");
  alignas(Recorder) unsigned char storage[sizeof(Recorder)];
  auto* b = new (storage) Recorder(log, "b");
  d.addHandler(&a);
  d.addHandler(b);
  a.action = [&] {
    b->~Recorder();
    d.addHandler(new (storage) Recorder(log, "new"));  // same address as b
    a.action = nullptr;
  };
  d.call(1);
  d.call(2);
  EXPECT_EQ(log, (std::vector<std::string>{"a1", "a2", "new2"}));
  std::launder(reinterpret_cast<Recorder*>(storage))->~Recorder();
}

TEST(CallbackTest, PayloadFreeMethodHandlers) {
  struct Owner {
    int calls = 0;
    void changed() { ++calls; }
  } owner;
  CbMethodHandler<CbEmptyType, Owner> h(&owner, &Owner::changed);
  CbDispatcher<CbEmptyType> d;
  d.addHandler(&h);
  d.call();
  d.call();
  EXPECT_EQ(owner.calls, 2);
  {
    CbMethodHandler<CbEmptyType, Owner> gone(&owner, &Owner::changed);
    d.addHandler(&gone);
  }
  d.call();
  EXPECT_EQ(owner.calls, 3);
}

}  // namespace
